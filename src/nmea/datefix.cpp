// Date fix (stub).
#include "nmea/nmea.h"
const DateFixRule kDateFixRules[] = {{nullptr, 0, nullptr}};
void nmea_datefix(ReceiverLink*) {}
