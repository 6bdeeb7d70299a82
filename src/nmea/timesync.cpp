// Time synchronisation: the RTC and the system clock follow GNSS time.
#include "nmea/timesync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/settings.h"
#include "nmea/report.h"
#include "platform/platform.h"

namespace {

// Below a minute the clocks would be set on nearly every fix: treated as off.
constexpr unsigned kMinPeriod = 60;
constexpr const char* kRtcPath = "/dev/rtc";

// When the last attempt was made; loaded from the stamp file at the first
// chance so that a restarted daemon keeps the period. Main thread only.
time_t last_sync = 0;

void load_stamp()
{
    FILE* f = plat_fopen(kTimesyncStampPath, "re");
    if (!f)
        return;
    unsigned stamp = 0;
    if (std::fscanf(f, "%u", &stamp) == 1)
        last_sync = static_cast<time_t>(stamp);
    std::fclose(f);
}

void save_stamp()
{
    last_sync = time(nullptr);
    FILE* f = plat_fopen(kTimesyncStampPath, "we");
    if (!f)
        return;
    std::fprintf(f, "%u\n", static_cast<unsigned>(last_sync));
    std::fclose(f);
}

void set_clocks(struct tm* utc, time_t seconds)
{
    int fd = plat_open(kRtcPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        log_msg(LOG_ERR, "%s - cannot open /dev/rtc (%s)", "timesync_exec", std::strerror(errno));
    } else {
        if (plat_rtc_set(fd, utc) != 0)
            log_msg(LOG_ERR, "%s - cannot set HW time (%s)", "timesync_exec", std::strerror(errno));
        close(fd);
    }
    if (plat_set_system_time(seconds) != 0)
        log_msg(LOG_ERR, "%s - cannot set system time (%s)", "timesync_exec", std::strerror(errno));
    log_msg(LOG_NOTICE, "time synchronization");
}

} // namespace

void timesync_exec(const TimeSyncSettings* settings, const PositionReport* report)
{
    if (!settings || !settings->enabled || settings->period < kMinPeriod)
        return;
    if (!report || report->updated != 1 || report->fix_quality[0] != '1')
        return;
    if (report->rmc_time[0] == '\0' || report->date[0] == '\0')
        return;
    if (last_sync == 0)
        load_stamp();
    if (time(nullptr) - last_sync < static_cast<time_t>(settings->period))
        return;

    // ddmmyy then hhmmss; fractions of a second are dropped.
    char text[16];
    std::snprintf(text, sizeof text, "%.6s%.6s", report->date, report->rmc_time);
    struct tm utc;
    std::memset(&utc, 0, sizeof utc);
    const char* rest = strptime(text, "%d%m%y%H%M%S", &utc);
    if (!rest) {
        log_msg(LOG_ERR, "%s - cannot make broken-down time (%s)", "timesync_exec", text);
    } else if (*rest != '\0') {
        log_msg(LOG_ERR, "%s - cannot make broken-down time (%s,%s)", "timesync_exec", text, rest);
    } else {
        // timegm converts as UTC without touching TZ: switching the process's
        // time zone would race with every other thread that formats a time.
        utc.tm_isdst = 0;
        time_t seconds = timegm(&utc);
        if (seconds == static_cast<time_t>(-1))
            log_msg(LOG_ERR, "%s - cannot make calendar time (%s)", "timesync_exec", text);
        else
            set_clocks(&utc, seconds);  // hardware clock first, both in UTC
    }
    // A failed attempt counts too: the next one waits a full period.
    save_stamp();
}
