// SPDX-License-Identifier: BSD-2-Clause
// The fix watchdog: the time of the last fix, and when a receiver without one is restarted.
#pragma once

#include "nmea/interpret.h"
#include "nmea/reader.h"

// Takes the time of a stored position with a fix as the last fix time.
void location_touch(ReceiverState* st, const NmeaReader* rd);
// 0 = go on, -2 = no fix for longer than the link's watchdog_timeout.
int location_watchdog(const ReceiverState* st, const NmeaReader* rd);
