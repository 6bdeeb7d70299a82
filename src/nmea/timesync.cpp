// SPDX-License-Identifier: BSD-2-Clause
// Time synchronisation: the RTC and the system clock follow GNSS time.
#include "nmea/timesync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "nmea/report.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/devices.h"
#include "platform/worker.h"

namespace {

// Below a minute the clocks would be set on nearly every fix: treated as off.
constexpr unsigned kMinPeriod = 60;
constexpr const char* kRtcPath = "/dev/rtc";

// When the last attempt was made; loaded from the stamp file at the first
// chance so that a restarted daemon keeps the period. Main thread only.
time_t last_sync = 0;

// The build date of this program, from the compiler's "Mmm dd yyyy".
constexpr time_t build_date()
{
    constexpr const char* d = __DATE__;
    constexpr const char* kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    int month = 0;
    for (int m = 0; m < 12; ++m)
        if (d[0] == kMonths[m * 3] && d[1] == kMonths[m * 3 + 1] && d[2] == kMonths[m * 3 + 2])
            month = m + 1;
    const int day = (d[4] == ' ' ? 0 : d[4] - '0') * 10 + (d[5] - '0');
    int year = (d[7] - '0') * 1000 + (d[8] - '0') * 100 + (d[9] - '0') * 10 + (d[10] - '0');
    // Days since 1970-01-01 of a civil date (proleptic Gregorian).
    year -= month <= 2 ? 1 : 0;
    const int era = year / 400;
    const int yoe = year - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<time_t>(era * 146097 + doe - 719468) * 86400;
}

time_t g_floor = build_date();
bool g_floor_logged = false;

void load_stamp()
{
    FILE* f = plat_fopen_file(kTimesyncStampPath);
    if (!f)
        return;
    unsigned stamp = 0;
    if (std::fscanf(f, "%u", &stamp) == 1)
        last_sync = static_cast<time_t>(stamp);
    std::fclose(f);
}

void save_stamp()
{
    last_sync = clock_wall_seconds();
    // Written like the status file: never through a link planted at the path.
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(last_sync));
    (void)plat_replace_file(kTimesyncStampPath, text, static_cast<std::size_t>(n), 0644);
}

void set_clocks(struct tm* utc, time_t seconds)
{
    // O_NONBLOCK: a FIFO at the device's path fails instead of hanging.
    const Fd rtc(plat_open(kRtcPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!rtc) {
        log_msg(LOG_ERR, "%s - cannot open /dev/rtc (%s)", "timesync_exec", std::strerror(errno));
    } else {
        if (plat_rtc_set(rtc.get(), utc) != 0)
            log_msg(LOG_ERR, "%s - cannot set HW time (%s)", "timesync_exec", std::strerror(errno));
    }
    if (plat_set_system_time(seconds) != 0)
        log_msg(LOG_ERR, "%s - cannot set system time (%s)", "timesync_exec", std::strerror(errno));
    log_msg(LOG_NOTICE, "time synchronization");
}

}  // namespace

time_t timesync_floor()
{
    return g_floor;
}

void timesync_set_floor(time_t floor)
{
    g_floor = floor;
}

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
    // A stamp in the future (a clock that was wrong when it was written)
    // counts as due: that is when the clock most needs correcting.
    const time_t now = clock_wall_seconds();
    if (now >= last_sync && now - last_sync < static_cast<time_t>(settings->period))
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
        if (seconds == static_cast<time_t>(-1)) {
            log_msg(LOG_ERR, "%s - cannot make calendar time (%s)", "timesync_exec", text);
        } else if (seconds < g_floor) {
            // No receiver tells a time before this program was built: a date
            // the rollover repair could not mend must not set the clocks.
            // Not an attempt either, so a sound time later syncs at once.
            if (!g_floor_logged)
                log_msg(LOG_WARNING, "%s - GNSS time (%s) is before the build date of this program, clocks not set",
                        "timesync_exec", text);
            g_floor_logged = true;
            return;
        } else {
            set_clocks(&utc, seconds);  // hardware clock first, both in UTC
        }
    }
    // A failed attempt counts too: the next one waits a full period.
    save_stamp();
}
