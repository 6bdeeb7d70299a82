// Process utilities (stub).
#include "outputs/proc.h"
void proc_set_stdout(int) {}
void proc_reset_stdio() {}
int proc_run(const char*, ...) { return -1; }
const char* status_read(const char*, int) { return ""; }
const char* status_value(const char*, const char*) { return "N/A"; }
const char* status_get(const char*, const char*) { return "N/A"; }
