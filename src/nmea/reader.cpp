// Reader (stub).
#include "nmea/nmea.h"
int nmea_next(ReceiverLink*) { return -1; }
int nmea_read(ReceiverLink*) { return -1; }
void nmea_consume(ReceiverLink*) {}
unsigned nmea_chsum(ReceiverLink*) { return 0; }
