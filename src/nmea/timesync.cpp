// Time synchronisation (stub until it lands).
#include "nmea/timesync.h"
void timesync_exec(const TimeSyncSettings*, const PositionReport*) {}
