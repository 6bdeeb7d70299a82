// SPDX-License-Identifier: BSD-2-Clause
// A module family's AT command sequences, kept once as golden files for the driver and end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace th {

// The lines of section "[name]" of tests/data/at-FAMILY.txt, in order; a
// sequence that is not there comes back as one line that names it, so that
// a comparison with it fails and says what was missing.
std::vector<std::string> at_sequence(const std::string& family, const std::string& name);

}  // namespace th
