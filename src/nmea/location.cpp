// The location file that follows the latest fix, and the watchdog that restarts a receiver without one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "nmea/nmea.h"
#include "platform/platform.h"
#include "receiver/link.h"

namespace {

// Two coordinate slots, two hemisphere slots, two line ends.
constexpr std::size_t kLocationMax = 64;

bool has_fix(const PositionReport& r)
{
    return r.fix_quality[0] != '0';
}

} // namespace

int nmea_file_replace(const char* path, const char* text, std::size_t len)
{
    // Temporary file and rename, never through a link, 0644 whatever the umask.
    return plat_replace_file(path, text, len, 0644);
}

void location_write(ReceiverLink* link)
{
    if (!link)
        return;
    const PositionReport& r = link->report;
    if (!has_fix(r)) {
        // No fix, no location: a missing file already says so.
        plat_unlink(kLocationPath);
        return;
    }
    char text[kLocationMax];
    const int n = std::snprintf(text, sizeof text, "%s%s\n%s%s\n", r.latitude, r.lat_hemisphere, r.longitude,
                                r.lon_hemisphere);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof text ||
        nmea_file_replace(kLocationPath, text, static_cast<std::size_t>(n)) != 0)
        log_msg(LOG_ERR, "create (%s) error", kLocationPath);
}

void location_touch(ReceiverLink* link)
{
    if (!link || !link->watchdog_enabled)
        return;
    const PositionReport& r = link->report;
    if (!has_fix(r) || !r.latitude[0] || !r.longitude[0])
        return;
    const time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        const int saved = errno;
        log_msg(LOG_WARNING, "cannot read current location time stamp: %s", std::strerror(saved));
        return;
    }
    link->last_fix_time = now;
}

int location_watchdog(ReceiverLink* link)
{
    if (!link || !link->watchdog_enabled || link->last_fix_time == static_cast<time_t>(-1))
        return 0;
    const time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        const int saved = errno;
        log_msg(LOG_WARNING, "cannot read current time stamp: %s", std::strerror(saved));
        return 0;
    }
    // Equal is still in time.
    if (now - link->last_fix_time > static_cast<time_t>(link->watchdog_timeout)) {
        log_msg(LOG_WARNING, "no location data from GPS within %u minutes, force restart",
                static_cast<unsigned>(link->watchdog_timeout / 60));
        return -2;
    }
    return 0;
}
