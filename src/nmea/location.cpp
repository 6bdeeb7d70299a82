// Location (stub).
#include "nmea/nmea.h"
void location_write(ReceiverLink*) {}
void location_touch(ReceiverLink*) {}
int location_watchdog(ReceiverLink*) { return 0; }
