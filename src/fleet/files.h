// SPDX-License-Identifier: BSD-2-Clause
// Files the fleet process reads while it is still root: its TLS material.
#pragma once

#include <cstddef>
#include <string>

// The most of a TLS file read: a CA bundle is about 200 kB.
inline constexpr std::size_t kFleetFileMax = std::size_t{4} << 20;

// A router path's file into memory: a regular file only, opened without
// waiting (a FIFO at the path would hold the start for ever), at most
// kFleetFileMax bytes. false with errno set.
bool fleet_read_file(const char* path, std::string* out);
