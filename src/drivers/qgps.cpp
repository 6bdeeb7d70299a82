// AT+QGPSCFG family (stub until the driver lands).
#include "drivers/drivers.h"
int qgps_open(ReceiverLink*) { return -1; }
void qgps_close(ReceiverLink*) {}
