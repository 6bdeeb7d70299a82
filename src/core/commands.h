// SPDX-License-Identifier: BSD-2-Clause
// The operator's commands beside the service: usage, "status" and "check".
#pragma once

#include <cstddef>
#include <cstdio>

// One service per router: the lock on this file says which process it is.
inline constexpr const char* kPidPath = "/run/gnssd.pid";

void command_usage(FILE* out);
// "gnssd status [--json]": 0 when the service answered or runs without a
// status yet, 1 when none runs or it does not answer.
int command_status(int argc, char** argv);
// "gnssd check": 1 for an unknown key, a value that is not a number or a
// file that cannot be read.
int command_check();

// Text of a peer made safe for a terminal: line feeds and tabs stay, valid
// UTF-8 stays except the C1 controls (written \u0080 to \u009F), every other
// control byte and every byte that is no part of a UTF-8 character is
// written \xHH. Returns the length written to out (cut to size - 1).
std::size_t command_terminal_text(const char* in, std::size_t len, char* out, std::size_t size);
// One JSON line as the service sends it ("{...}\n"): copied to out with C1
// controls inside strings written as \u escapes, so the value stays the same.
// Returns the length, or 0 when in is not exactly one valid JSON object
// followed by one line feed (or when out is too small).
std::size_t command_json_line(const char* in, std::size_t len, char* out, std::size_t size);
