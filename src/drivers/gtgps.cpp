// AT+GTGPSPOWER family (stub until the driver lands).
#include "drivers/drivers.h"
int gtgps_open(ReceiverLink*) { return -1; }
void gtgps_close(ReceiverLink*) {}
