// AT$GPSP family (stub until the driver lands).
#include "drivers/drivers.h"
int gpsp_open(ReceiverLink*) { return -1; }
void gpsp_close(ReceiverLink*) {}
