// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's texts: the settings as used and the position object.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nmea/report.h"
#include "outputs/mqtt.h"

namespace {

// A decimal number as the receiver wrote it ("545.4", "-12", "084.40"):
// its value and its count of decimals; false for anything else.
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

struct Out {
    char* buf;
    std::size_t size;
    std::size_t len;
    bool full;

    void add(const char* format, ...) __attribute__((format(printf, 2, 3)))
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
};

}  // namespace

std::size_t mqtt_position_json(const PositionReport* report, int moving, char* buf, std::size_t size)
{
    if (!report || !buf || size == 0)
        return 0;
    const PositionReport& r = *report;
    const Current cur = current_items(r);
    if (!has_fix(r, cur))
        return 0;
    Out o{buf, size, 0, false};
    const char* sep = "";
    o.add("{");
    // The time of the fix on the receiver's date; no date, no time.
    const char* t = cur.gga && r.fix_time[0] ? r.fix_time : r.rmc_time;
    const std::size_t tn = std::strlen(t);
    if (cur.same_day && std::strlen(r.date) == 6 && all_digits(r.date, 6) && tn >= 6 && all_digits(t, 6)) {
        const char* frac = tn > 6 && t[6] == '.' && all_digits(t + 7, tn - 7) ? t + 6 : "";
        o.add("\"time\":\"20%.2s-%.2s-%.2sT%.2s:%.2s:%.2s%sZ\"", r.date + 4, r.date + 2, r.date, t, t + 2, t + 4, frac);
        sep = ",";
    }
    const bool gga = cur.gga && r.latitude[0] && r.longitude[0];
    double lat, lon;
    if (degrees(gga ? r.latitude : r.rmc_latitude, gga ? r.lat_hemisphere : r.rmc_lat_hemisphere, &lat) &&
        degrees(gga ? r.longitude : r.rmc_longitude, gga ? r.lon_hemisphere : r.rmc_lon_hemisphere, &lon)) {
        o.add("%s\"lat\":%.6f,\"lon\":%.6f", sep, lat, lon);
        sep = ",";
    }
    double v;
    int decimals;
    if (cur.gga && nmea_number(r.altitude, &v, &decimals)) {
        o.add("%s\"alt\":%.*f", sep, decimals, v);
        sep = ",";
    }
    if (cur.rmc && nmea_number(r.speed_knots, &v, &decimals) && v >= 0) {
        o.add("%s\"speed\":%.1f", sep, v * 1.852);
        sep = ",";
    }
    if (cur.rmc && nmea_number(r.course, &v, &decimals) && v >= 0) {
        o.add("%s\"course\":%.*f", sep, decimals, v);
        sep = ",";
    }
    if (cur.gga && r.satellites[0] && all_digits(r.satellites, std::strlen(r.satellites))) {
        o.add("%s\"sats\":%d", sep, std::atoi(r.satellites));
        sep = ",";
    }
    if (cur.gga && r.fix_quality[0] && all_digits(r.fix_quality, std::strlen(r.fix_quality))) {
        o.add("%s\"fix\":%d", sep, std::atoi(r.fix_quality));
        sep = ",";
    }
    o.add("%s\"moving\":%s}", sep, moving ? "true" : "false");
    return o.full ? 0 : o.len;
}

bool mqtt_config(const MqttSettings* s, const char* router_id, const char* host_name, MqttConfig* c, const char** fault)
{
    *fault = nullptr;
    *c = MqttConfig{};
    if (!s || !s->enabled)
        return false;
#ifndef GNSSD_HAVE_MQTT
    *fault = "a daemon built without MQTT";
    return false;
#endif
    if (!s->host || !s->host[0]) {
        *fault = "no host";
        return false;
    }
    std::snprintf(c->host, sizeof c->host, "%s", s->host);
    c->tls = s->tls != 0;
    c->port = (s->port & 0xFFFFu) ? s->port & 0xFFFFu : c->tls ? 8883 : 1883;
    std::snprintf(c->cafile, sizeof c->cafile, "%s", s->cafile && s->cafile[0] ? s->cafile : kMqttCaFile);
    const char* id = s->client_id && s->client_id[0] ? s->client_id
                     : router_id && router_id[0]     ? router_id
                     : host_name && host_name[0]     ? host_name
                                                     : "gnssd";
    std::snprintf(c->client_id, sizeof c->client_id, "%s", id);
    if (s->topic && s->topic[0])
        std::snprintf(c->topic, sizeof c->topic, "%s", s->topic);
    else
        std::snprintf(c->topic, sizeof c->topic, "gnss/%s", c->client_id);
    // A prefix is joined with "/position": no empty level in between.
    for (std::size_t n = std::strlen(c->topic); n > 1 && c->topic[n - 1] == '/'; --n)
        c->topic[n - 1] = '\0';
    // MQTT has no wildcard in a topic one publishes to.
    if (std::strpbrk(c->topic, "+#") || !c->topic[0] || std::strcmp(c->topic, "/") == 0) {
        *fault = "a topic with a wildcard or no name";
        return false;
    }
    c->period = s->period ? s->period : 5;
    c->period_halt = s->period_halt ? s->period_halt : 60;
    c->qos = s->qos && std::strcmp(s->qos, "0") == 0 ? 0 : 1;
    c->backlog = s->backlog && s->backlog[0] ? static_cast<uint32_t>(std::strtoul(s->backlog, nullptr, 10))
                                             : kMqttBacklogDefault;
    c->nmea = s->nmea != 0;
    return true;
}
