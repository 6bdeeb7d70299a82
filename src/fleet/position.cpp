// SPDX-License-Identifier: BSD-2-Clause
// One receiver cycle's position, parsed once from the report's verbatim items.
#include "fleet/position.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "nmea/report.h"

namespace {

// ddmm.mmmm / dddmm.mmmm with its hemisphere in signed decimal degrees.
bool degrees(const char* item, const char* hemisphere, double* out)
{
    double v;
    int decimals;
    if (!hemisphere[0] || !std::strchr("NSEW", hemisphere[0]) || !nmea_number(item, &v, &decimals) || v < 0)
        return false;
    const double whole = static_cast<double>(static_cast<long>(v / 100));
    const double deg = whole + (v - whole * 100) / 60;
    *out = hemisphere[0] == 'S' || hemisphere[0] == 'W' ? -deg : deg;
    return true;
}

bool all_digits(const char* s, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

bool whole_number(const char* s, int* out)
{
    const std::size_t n = std::strlen(s);
    if (n == 0 || n > 6 || !all_digits(s, n))
        return false;
    *out = std::atoi(s);
    return true;
}

// Seconds of the day of an NMEA time (hhmmss, hhmmss.ss); -1 when not one.
double day_seconds(const char* t)
{
    double v;
    int decimals;
    if (std::strlen(t) < 6 || !all_digits(t, 6) || !nmea_number(t, &v, &decimals))
        return -1;
    const int hms = static_cast<int>(v);
    return hms / 10000 * 3600 + hms / 100 % 100 * 60 + (v - hms / 100 * 100);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// What of the report is the latest. A receiver that sends GGA only now and
// then leaves GGA items of an older time beside a newer RMC, and one whose
// cycle begins with GGA leaves a newer GGA beside the RMC before it: the
// items of the older time are left out.
struct Current {
    bool rmc;       // RMC items: the time, position and motion
    bool gga;       // GGA or GNS items: position, altitude, satellites, quality
    bool same_day;  // the time in use goes with the RMC's date
};

Current current_items(const PositionReport& r)
{
    Current c{};
    const bool rmc = r.rmc_time[0] != '\0' && r.rmc_status[0] != '\0';
    const bool gga = r.fix_time[0] || r.latitude[0] || r.fix_quality[0];
    c.same_day = true;
    if (!rmc || !gga) {
        c.rmc = rmc;
        c.gga = gga;
        return c;
    }
    const double g = day_seconds(r.fix_time), m = day_seconds(r.rmc_time);
    if (g == m || g < 0 || m < 0) {
        c.rmc = true;
        c.gga = g == m;
        return c;
    }
    // Half a day apart or more: the day changed between the two.
    const bool wrapped = g - m > 43200 || m - g > 43200;
    const bool gga_later = (g > m) != wrapped;
    c.gga = gga_later;
    c.rmc = !gga_later;
    c.same_day = !(gga_later && wrapped);
    return c;
}

// Whether the cycle has a fix: the GGA or GNS quality other than 0, or
// without one an RMC whose status is valid.
bool has_fix(const PositionReport& r, const Current& c)
{
    if (c.gga && r.fix_quality[0])
        return all_digits(r.fix_quality, std::strlen(r.fix_quality)) && std::atoi(r.fix_quality) > 0;
    return c.rmc && r.rmc_status[0] == 'A';
}

// The time of the fix on the receiver's date; no date, no time.
void fix_time(const PositionReport& r, const Current& cur, FleetPosition* p)
{
    const char* t = cur.gga && r.fix_time[0] ? r.fix_time : r.rmc_time;
    const std::size_t tn = std::strlen(t);
    if (!cur.same_day || std::strlen(r.date) != 6 || !all_digits(r.date, 6) || tn < 6 || !all_digits(t, 6))
        return;
    const char* frac = tn > 6 && t[6] == '.' && all_digits(t + 7, tn - 7) ? t + 6 : "";
    auto two = [](const char* s) { return (s[0] - '0') * 10 + (s[1] - '0'); };
    const int day = two(r.date), month = two(r.date + 2), hour = two(t), minute = two(t + 2), second = two(t + 4);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return;
    p->epoch = days_from_civil(2000 + two(r.date + 4), month, day) * 86400 + hour * 3600 + minute * 60 + second;
    std::snprintf(p->fraction, sizeof p->fraction, "%s", frac);
    p->has |= kFleetTime;
}

}  // namespace

bool nmea_number(const char* item, double* value, int* decimals)
{
    const char* p = item;
    if (*p == '-' || *p == '+')
        ++p;
    int digits = 0, after = 0;
    bool dot = false;
    for (; *p; ++p) {
        if (std::isdigit(static_cast<unsigned char>(*p))) {
            ++digits;
            after += dot ? 1 : 0;
        } else if (*p == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    if (digits == 0)
        return false;
    *value = std::strtod(item, nullptr);
    *decimals = after > 9 ? 9 : after;
    return true;
}

bool fleet_position(const PositionReport* report, int moving, FleetPosition* p)
{
    *p = FleetPosition{};
    if (!report)
        return false;
    const PositionReport& r = *report;
    const Current cur = current_items(r);
    if (!has_fix(r, cur))
        return false;
    p->valid = true;
    p->moving = moving != 0;
    fix_time(r, cur, p);
    const bool gga = cur.gga && r.latitude[0] && r.longitude[0];
    if (degrees(gga ? r.latitude : r.rmc_latitude, gga ? r.lat_hemisphere : r.rmc_lat_hemisphere, &p->lat) &&
        degrees(gga ? r.longitude : r.rmc_longitude, gga ? r.lon_hemisphere : r.rmc_lon_hemisphere, &p->lon))
        p->has |= kFleetLatLon;
    if (cur.gga && nmea_number(r.altitude, &p->altitude, &p->altitude_decimals))
        p->has |= kFleetAltitude;
    if (cur.gga && nmea_number(r.hdop, &p->hdop, &p->hdop_decimals) && p->hdop > 0)
        p->has |= kFleetHdop;
    if (cur.gga && whole_number(r.satellites, &p->satellites))
        p->has |= kFleetSatellites;
    if (cur.gga && whole_number(r.fix_quality, &p->quality))
        p->has |= kFleetQuality;
    int decimals;
    if (cur.rmc && nmea_number(r.speed_knots, &p->speed_knots, &decimals) && p->speed_knots >= 0)
        p->has |= kFleetSpeed;
    if (cur.rmc && nmea_number(r.course, &p->course, &p->course_decimals) && p->course >= 0)
        p->has |= kFleetCourse;
    return true;
}

std::size_t fleet_position_json(const FleetPosition& p, char* buf, std::size_t size)
{
    if (!p.valid || !buf || size == 0)
        return 0;
    TextOut o{buf, size, 0, false};
    const char* sep = "";
    o.add("{");
    if (p.has & kFleetTime) {
        const time_t t = static_cast<time_t>(p.epoch);
        struct tm tm {};
        gmtime_r(&t, &tm);
        o.add("\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d%sZ\"", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
              tm.tm_min, tm.tm_sec, p.fraction);
        sep = ",";
    }
    if (p.has & kFleetLatLon) {
        o.add("%s\"lat\":%.6f,\"lon\":%.6f", sep, p.lat, p.lon);
        sep = ",";
    }
    if (p.has & kFleetAltitude) {
        o.add("%s\"alt\":%.*f", sep, p.altitude_decimals, p.altitude);
        sep = ",";
    }
    if (p.has & kFleetSpeed) {
        o.add("%s\"speed\":%.1f", sep, p.speed_knots * 1.852);
        sep = ",";
    }
    if (p.has & kFleetCourse) {
        o.add("%s\"course\":%.*f", sep, p.course_decimals, p.course);
        sep = ",";
    }
    if (p.has & kFleetSatellites) {
        o.add("%s\"sats\":%d", sep, p.satellites);
        sep = ",";
    }
    if (p.has & kFleetQuality) {
        o.add("%s\"fix\":%d", sep, p.quality);
        sep = ",";
    }
    o.add("%s\"moving\":%s}", sep, p.moving ? "true" : "false");
    return o.result();
}

void TextOut::add(const char* format, ...)
{
    if (full)
        return;
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buf + len, size - len, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= size - len)
        full = true;
    else
        len += static_cast<std::size_t>(n);
}

void TextOut::json_text(const char* text)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text ? text : ""); *c && !full; ++c) {
        if (*c == '"' || *c == '\\')
            add("\\%c", *c);
        else if (*c < 0x20 || *c == 0x7f)
            add("\\u%04x", *c);
        else
            add("%c", *c);
    }
}
