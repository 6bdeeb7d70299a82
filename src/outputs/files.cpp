// SPDX-License-Identifier: BSD-2-Clause
// The status and location files, rewritten from the position report after the reads that stored a sentence of theirs.
#include "outputs/files.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nmea/interpret.h"
#include "platform/platform.h"
#include "platform/log.h"

namespace {

bool has_fix(const PositionReport& r)
{
    return r.fix_quality[0] != '0';
}

// Length of a slot's text, bounded by its width even if the NUL were missing.
template <std::size_t N>
std::size_t slot_len(const char (&slot)[N])
{
    const void* nul = std::memchr(slot, '\0', N);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - slot) : N;
}

// The status file's text, put together piece by piece: it is rewritten with
// every read, and a format call per piece would cost more than the pieces.
// Whatever does not fit marks the text as failed, never cuts it.
struct TextOut {
    char* at;
    char* end;
    bool ok = true;

    void put(const char* text, std::size_t len)
    {
        if (!ok || len >= static_cast<std::size_t>(end - at)) {
            ok = false;
            return;
        }
        std::memcpy(at, text, len);
        at += len;
    }
    void put(std::string_view text) { put(text.data(), text.size()); }
    template <std::size_t N>
    void put_slot(const char (&slot)[N])
    {
        put(slot, slot_len(slot));
    }
};

// "ab" sep1 "cd" sep2 "rest": the slot split after characters 2 and 4, cut where it ends.
template <std::size_t N>
void put_split_2_2(TextOut* out, const char (&text)[N], std::string_view sep1, std::string_view sep2)
{
    const std::size_t len = slot_len(text);
    const std::size_t a = len < 2 ? len : 2;
    const std::size_t b = len < 4 ? len - a : 2;
    out->put(text, a);
    out->put(sep1);
    out->put(text + a, b);
    out->put(sep2);
    out->put(text + a + b, len - a - b);
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

void nmea_degrees(const char* text, char* out, std::size_t size)
{
    if (!out || size == 0)
        return;
    char* end = nullptr;
    const double value = text ? std::strtod(text, &end) : 0.0;
    if (!text || end == text || !std::isfinite(value)) {
        std::snprintf(out, size, "N/A");
        return;
    }
    // Whole degrees by integer truncation: the router's 32-bit ARM has no
    // rounding instruction, and a call into the maths library would make the
    // daemon need more than libc. Beyond 2^62 a double holds no fraction.
    const double hundreds = value / 100.0;
    const double degrees = (hundreds > -4.0e18 && hundreds < 4.0e18)
                               ? static_cast<double>(static_cast<long long>(hundreds))
                               : hundreds;
    const double result = degrees + (value - 100.0 * degrees) / 60.0;
    const int n = std::snprintf(out, size, "%.6lf", result);
    if (n < 0 || static_cast<std::size_t>(n) >= size)
        std::snprintf(out, size, "N/A");  // a cut number would be a wrong number
}

int stats_format(const PositionReport& r, char* out, std::size_t size)
{
    if (!out || size == 0)
        return -1;
    char lat[48];
    char lon[48];
    nmea_degrees(r.latitude, lat, sizeof lat);
    nmea_degrees(r.longitude, lon, sizeof lon);

    // "08" reads "8"; a lone "0" stays "0".
    std::string_view sats(r.satellites, slot_len(r.satellites));
    if (sats.empty())
        sats = "N/A";
    else if (sats[0] == '0' && sats.size() > 1)
        sats.remove_prefix(1);

    char speed[48];
    char* end = nullptr;
    const float knots = std::strtof(r.speed_knots, &end);
    if (end == r.speed_knots || !std::isfinite(knots)) {
        std::snprintf(speed, sizeof speed, "N/A");
    } else {
        const float kmh = knots * 1.852f;
        const int n = std::snprintf(speed, sizeof speed, "%.1f km/h", static_cast<double>(kmh));
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof speed)
            std::snprintf(speed, sizeof speed, "N/A");
    }
    const bool course = r.course[0] && std::strncmp(speed, "N/A", 3) != 0 && std::strncmp(speed, "0.0", 3) != 0;

    TextOut t{out, out + size};
    t.put("Current time (UTC) : ");
    if (r.fix_time[0])
        put_split_2_2(&t, r.fix_time, ":", ":");
    else
        t.put("N/A");
    t.put("\nLatitude           : ");
    t.put(lat, std::strlen(lat));
    t.put_slot(r.lat_hemisphere);
    t.put("\nLongitude          : ");
    t.put(lon, std::strlen(lon));
    t.put_slot(r.lon_hemisphere);
    t.put("\nAltitude           : ");
    if (r.altitude[0])
        t.put_slot(r.altitude);
    else
        t.put("N/A");
    t.put(" ");
    t.put_slot(r.altitude_unit);
    t.put("\nSatellites in use  : ");
    t.put(sats);
    t.put("\nFix status         : ");
    t.put_slot(r.fix_quality);
    t.put("\nSpeed over ground  : ");
    t.put(speed, std::strlen(speed));
    t.put("\nCourse over ground : ");
    if (course) {
        t.put_slot(r.course);
        t.put(" degrees");
    } else {
        t.put("N/A");
    }
    t.put("\nDate               : ");
    if (r.date[0])
        put_split_2_2(&t, r.date, ".", ".20");
    else
        t.put("N/A");
    t.put("\n");
    if (!t.ok)
        return -1;
    *t.at = '\0';
    return static_cast<int>(t.at - out);
}
