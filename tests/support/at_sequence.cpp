// SPDX-License-Identifier: BSD-2-Clause
// A module family's AT command sequences, kept once as golden files for the driver and end-to-end tests.
#include "support/at_sequence.h"

#include <fstream>

namespace th {

std::vector<std::string> at_sequence(const std::string& family, const std::string& name)
{
    const std::string file = std::string(GNSSD_TEST_DATA) + "/at-" + family + ".txt";
    std::ifstream in(file);
    std::vector<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            if (inside)
                return lines;
            inside = line == "[" + name + "]";
        } else if (inside) {
            lines.push_back(line);
        }
    }
    if (!inside)
        return {"no sequence [" + name + "] in " + file};
    return lines;
}

}  // namespace th
