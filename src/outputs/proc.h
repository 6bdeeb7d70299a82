// SPDX-License-Identifier: BSD-2-Clause
// Running the router's tools and reading the status tool's output.
#pragma once

#include <sys/types.h>

void proc_set_stdout(int fd);
void proc_reset_stdio();
// Arguments end with nullptr; returns the raw wait status or -1.
int proc_run(const char* program, ...) __attribute__((sentinel));
// Runs argv (ended by nullptr) for at most limit_ms, calling wait(ctx, ms) to
// pass the time between looks at the child; a tool still running at the
// limit, or when wait returns false, is killed. The wait status goes to
// *status. Returns 0 when the tool ended by itself, 1 when it was killed at
// the limit, 2 when killed because wait returned false, -1 when it could not
// be started or awaited.
int proc_run_for(const char* const* argv, int limit_ms, bool (*wait)(void* ctx, int ms), void* ctx, int* status);

const char* status_read(const char* section, int max_age);
const char* status_value(const char* output, const char* key);
const char* status_get(const char* section, const char* key);
