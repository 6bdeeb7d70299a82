// Control shell (stub until it lands).
#include "outputs/shell.h"
ControlShell* shell_open(const char*, const ShellCommand*) { return nullptr; }
void shell_close(ControlShell*) {}
