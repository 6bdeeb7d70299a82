// $GPS_START family (stub until the driver lands).
#include "drivers/drivers.h"
int gpsstart_open(ReceiverLink*) { return -1; }
void gpsstart_close(ReceiverLink*) {}
int gpsstart_notice(const void*) { return 0; }
