// SPDX-License-Identifier: BSD-2-Clause
// The fix watchdog that restarts a receiver without a fix.
#include "nmea/watchdog.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "nmea/interpret.h"
#include "nmea/reader.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"

namespace {

bool has_fix(const PositionReport& r)
{
    return r.fix_quality[0] != '0';
}

}  // namespace

void location_touch(ReceiverState* st, const NmeaReader* rd)
{
    if (!rd || !rd->watchdog_enabled)
        return;
    const PositionReport& r = st->report;
    if (!has_fix(r) || !r.latitude[0] || !r.longitude[0])
        return;
    // The monotonic clock: a step of the wall clock (time sync makes them)
    // must neither restart a receiver with a fresh fix nor suspend the watchdog.
    const time_t now = monotonic_seconds();
    if (now == static_cast<time_t>(-1)) {
        const int saved = errno;
        log_msg(LOG_WARNING, "cannot read current location time stamp: %s", std::strerror(saved));
        return;
    }
    st->last_fix_time = now;
}

int location_watchdog(const ReceiverState* st, const NmeaReader* rd)
{
    if (!rd || !st || !rd->watchdog_enabled || st->last_fix_time == static_cast<time_t>(-1))
        return 0;
    const time_t now = monotonic_seconds();
    if (now == static_cast<time_t>(-1)) {
        const int saved = errno;
        log_msg(LOG_WARNING, "cannot read current time stamp: %s", std::strerror(saved));
        return 0;
    }
    // Equal is still in time.
    if (now - st->last_fix_time > static_cast<time_t>(rd->watchdog_timeout)) {
        log_msg(LOG_WARNING, "no location data from GPS within %u minutes, force restart",
                static_cast<unsigned>(rd->watchdog_timeout / 60));
        return -2;
    }
    return 0;
}
