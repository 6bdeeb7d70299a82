// SPDX-License-Identifier: BSD-2-Clause
// The location file that follows the latest fix, and the watchdog that restarts a receiver without one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "nmea/interpret.h"
#include "nmea/location.h"
#include "nmea/reader.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace {

bool has_fix(const PositionReport& r)
{
    return r.fix_quality[0] != '0';
}

}  // namespace

int nmea_file_replace(const char* path, const char* text, std::size_t len)
{
    // Temporary file and rename, never through a link, 0644 whatever the umask.
    return plat_replace_file(path, text, len, 0644);
}

int location_format(const PositionReport& r, char* out, std::size_t size)
{
    // No fix, no location: a missing file already says so.
    if (!has_fix(r))
        return 0;
    const int n = std::snprintf(out, size, "%s%s\n%s%s\n", r.latitude, r.lat_hemisphere, r.longitude, r.lon_hemisphere);
    return n <= 0 || static_cast<std::size_t>(n) >= size ? -1 : n;
}

void nmea_files_update(ReceiverState* st)
{
    if (!st->files_due)
        return;
    // Location first, then status, as each position sentence always wrote them.
    if (st->files_due & kLocationDue) {
        char text[kLocationMax];
        const int n = location_format(st->report, text, sizeof text);
        // Without a fix the file goes, whether this link or an earlier one made it.
        if (n == 0)
            plat_unlink(kLocationPath);
        else if (n < 0 || nmea_file_replace(kLocationPath, text, static_cast<std::size_t>(n)) != 0)
            log_msg(LOG_ERR, "create (%s) error", kLocationPath);
    }
    if (st->files_due & kStatsDue) {
        char text[kStatsMax];
        const int n = stats_format(st->report, text, sizeof text);
        if (n < 0 || nmea_file_replace(kStatsPath, text, static_cast<std::size_t>(n)) != 0)
            log_msg(LOG_ERR, "create (%s) error", kStatsPath);
    }
    st->files_due = 0;
}

void nmea_files_remove()
{
    plat_unlink(kStatsPath);
    plat_unlink(kLocationPath);
}

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
