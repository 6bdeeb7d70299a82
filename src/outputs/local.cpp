// Local outputs (stub).
#include "outputs/local.h"
void output_write(SerialOutput*, const char*, std::size_t) {}
int pty_open(SerialOutput* o, uint32_t) { o->fd = -1; o->enabled = 0; return -1; }
void pty_close(SerialOutput*) {}
void output_close(SerialOutput*) {}
