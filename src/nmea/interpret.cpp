// Interpretation (stub).
#include "nmea/nmea.h"
int nmea_interpret(ReceiverLink*) { return 1; }
void stats_write(ReceiverLink*) {}
void nmea_degrees(const char*, char* o, std::size_t) { o[0] = 0; }
