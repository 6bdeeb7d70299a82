// Running the router's tools and reading the status tool's output.
#pragma once

#include <sys/types.h>

void proc_set_stdout(int fd);
void proc_reset_stdio();
// Arguments end with nullptr; returns the raw wait status or -1.
int proc_run(const char* program, ...) __attribute__((sentinel));

const char* status_read(const char* section, int max_age);
const char* status_value(const char* output, const char* key);
const char* status_get(const char* section, const char* key);
