// Stand-alone serial receiver (stub until the driver lands).
#include "drivers/drivers.h"
int standalone_open(ReceiverLink*) { return -1; }
void standalone_close(ReceiverLink*) {}
