// SPDX-License-Identifier: BSD-2-Clause
// NMEA the simulated receiver sends: a replayed capture or a synthetic drive.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "sim_core.h"

namespace {

constexpr int64_t kWeekRolloverDays = 1024 * 7;

// What a sentence is, for finding receiver cycles: "GGA" of "$GPGGA,...",
// the whole address of a proprietary "$PMTK001,...".
std::string sentence_tag(std::string_view line)
{
    if (line.empty() || line[0] != '$')
        return {};
    std::size_t comma = line.find_first_of(",*\r\n");
    std::string_view addr = line.substr(1, comma == std::string_view::npos ? line.size() - 1 : comma - 1);
    if (addr.size() == 5 && addr[0] != 'P')
        return std::string(addr.substr(2));
    return std::string(addr);
}

// Rewrites the date item (ddmmyy, the ninth item) of an RMC sentence 1024
// weeks into the past and mends its checksum, as an affected receiver sends it.
bool roll_back_rmc(std::string* line)
{
    if (sentence_tag(*line) != "RMC")
        return false;
    std::size_t pos = 0;
    for (int item = 0; item < 9; ++item) {
        pos = line->find(',', pos);
        if (pos == std::string::npos)
            return false;
        ++pos;
    }
    std::size_t end = line->find_first_of(",*\r\n", pos);
    if (end == std::string::npos || end - pos != 6)
        return false;
    struct tm tm = {};
    if (std::sscanf(line->c_str() + pos, "%2d%2d%2d", &tm.tm_mday, &tm.tm_mon, &tm.tm_year) != 3)
        return false;
    tm.tm_mon -= 1;
    tm.tm_year += tm.tm_year < 80 ? 100 : 0;
    tm.tm_hour = 12;
    time_t t = timegm(&tm) - kWeekRolloverDays * 86400;
    struct tm back;
    gmtime_r(&t, &back);
    char date[40];
    std::snprintf(date, sizeof date, "%02d%02d%02d", back.tm_mday, back.tm_mon + 1, back.tm_year % 100);
    line->replace(pos, 6, date);
    std::size_t star = line->find('*');
    if (star != std::string::npos && star + 2 < line->size()) {
        char cs[3];
        std::snprintf(cs, sizeof cs, "%02X", nmea_xor(std::string_view(*line).substr(1, star - 1)));
        line->replace(star + 1, 2, cs);
    }
    return true;
}

// Appends "$" body "*hh\r\n".
void emit(std::string* out, const char* body)
{
    char cs[8];
    std::snprintf(cs, sizeof cs, "*%02X\r\n", nmea_xor(body));
    out->push_back('$');
    out->append(body);
    out->append(cs);
}

// ddmm.mmmm / dddmm.mmmm text of a coordinate.
void coord(char* buf, std::size_t size, double deg, int width)
{
    double a = std::fabs(deg);
    int whole = static_cast<int>(a);
    double minutes = (a - whole) * 60.0;
    std::snprintf(buf, size, "%0*d%07.4f", width, whole, minutes);
}

// The drive repeats these phases: a cold start without fix, driving,
// standing still, driving again, losing the fix (a tunnel), standing.
enum class Phase { NoFix, Moving, Halted };
struct PhaseSpan {
    Phase phase;
    int seconds;
};
constexpr PhaseSpan kDrive[] = {
    {Phase::NoFix, 5},   {Phase::Moving, 40}, {Phase::Halted, 15},
    {Phase::Moving, 30}, {Phase::NoFix, 10},  {Phase::Halted, 10},
};

Phase phase_at(int64_t tick)
{
    int total = 0;
    for (const PhaseSpan& p : kDrive)
        total += p.seconds;
    int64_t t = tick % total;
    for (const PhaseSpan& p : kDrive) {
        if (t < p.seconds)
            return p.phase;
        t -= p.seconds;
    }
    return Phase::NoFix;
}

void synthetic_cycle(NmeaSource* src, std::string* out)
{
    const Phase phase = phase_at(src->tick++);
    const bool fix = phase != Phase::NoFix;
    const double knots = phase == Phase::Moving ? 27.0 + 3.0 * std::sin(src->tick / 7.0) : 0.0;
    if (phase == Phase::Moving) {
        src->course = std::fmod(src->course + 2.5 + 360.0, 360.0);
        const double metres = knots * 1852.0 / 3600.0;
        src->lat += metres * std::cos(src->course * M_PI / 180.0) / 111320.0;
        src->lon += metres * std::sin(src->course * M_PI / 180.0) / (111320.0 * std::cos(src->lat * M_PI / 180.0));
    }

    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    char hms[48], date[40], lat[24], lon[24], body[160];
    std::snprintf(hms, sizeof hms, "%02d%02d%02d.00", utc.tm_hour, utc.tm_min, utc.tm_sec);
    if (src->rollover) {
        time_t back = now - kWeekRolloverDays * 86400;
        gmtime_r(&back, &utc);
        src->rollover = false;
    }
    std::snprintf(date, sizeof date, "%02d%02d%02d", utc.tm_mday, utc.tm_mon + 1, utc.tm_year % 100);
    coord(lat, sizeof lat, src->lat, 2);
    coord(lon, sizeof lon, src->lon, 3);
    const char ns = src->lat >= 0 ? 'N' : 'S';
    const char ew = src->lon >= 0 ? 'E' : 'W';

    if (fix) {
        std::snprintf(body, sizeof body, "GPGGA,%s,%s,%c,%s,%c,1,08,0.9,245.3,M,45.1,M,,", hms, lat, ns, lon, ew);
        emit(out, body);
        std::snprintf(body, sizeof body, "GPRMC,%s,A,%s,%c,%s,%c,%.1f,%.1f,%s,,,A", hms, lat, ns, lon, ew, knots,
                      phase == Phase::Moving ? src->course : 0.0, date);
        emit(out, body);
        emit(out, "GPGSA,A,3,02,05,07,09,13,16,20,30,,,,,1.6,0.9,1.3");
        emit(out, "GPGSV,3,1,10,02,45,061,44,05,32,112,41,07,67,289,46,09,22,176,38");
        emit(out, "GPGSV,3,2,10,13,55,210,43,16,12,040,35,20,30,318,40,30,71,150,47");
        emit(out, "GPGSV,3,3,10,25,05,250,,29,03,330,");
    } else {
        std::snprintf(body, sizeof body, "GPGGA,%s,,,,,0,00,99.99,,,,,,", hms);
        emit(out, body);
        std::snprintf(body, sizeof body, "GPRMC,%s,V,,,,,,,%s,,,N", hms, date);
        emit(out, body);
        emit(out, "GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99");
        emit(out, "GPGSV,1,1,00");
    }
}

// Takes the next capture line, applying a pending rollover to an RMC.
bool take_line(NmeaSource* src, std::string* out)
{
    if (src->next >= src->lines.size()) {
        if (!src->loop || src->lines.empty()) {
            src->ended = true;
            return false;
        }
        src->next = 0;
    }
    const std::string& line = src->lines[src->next++];
    if (src->rollover && sentence_tag(line) == "RMC") {
        std::string copy = line;
        if (roll_back_rmc(&copy)) {
            src->rollover = false;
            out->append(copy);
            return true;
        }
    }
    out->append(line);
    return true;
}

}  // namespace

unsigned nmea_xor(std::string_view body)
{
    unsigned x = 0;
    for (char c : body)
        x ^= static_cast<unsigned char>(c);
    return x;
}

bool source_load_capture(NmeaSource* src, const std::string& path, bool loop)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "gnssd-sim: cannot read capture %s\n", path.c_str());
        return false;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    src->lines.clear();
    for (std::size_t pos = 0; pos < bytes.size();) {
        std::size_t nl = bytes.find('\n', pos);
        std::size_t end = nl == std::string::npos ? bytes.size() : nl + 1;
        src->lines.emplace_back(bytes, pos, end - pos);
        pos = end;
    }
    src->synthetic = false;
    src->loop = loop;
    // A receiver sends RMC (or else GGA, or GNS) once per cycle; a file
    // without any of them is cut at each sentence of its first kind.
    src->cycle_tag.clear();
    for (const char* tag : {"RMC", "GGA", "GNS"}) {
        for (const std::string& line : src->lines) {
            if (sentence_tag(line) == tag) {
                src->cycle_tag = tag;
                return true;
            }
        }
    }
    for (const std::string& line : src->lines) {
        src->cycle_tag = sentence_tag(line);
        if (!src->cycle_tag.empty())
            break;
    }
    return true;
}

void source_cycle(NmeaSource* src, std::string* out)
{
    if (src->synthetic) {
        synthetic_cycle(src, out);
        return;
    }
    // One cycle: from one sentence of the opening kind up to the next.
    bool first = true;
    while (!src->ended) {
        if (src->next < src->lines.size() && !first && !src->cycle_tag.empty() &&
            sentence_tag(src->lines[src->next]) == src->cycle_tag)
            break;
        if (!take_line(src, out))
            break;
        first = false;
        if (src->next >= src->lines.size() && !src->loop)
            break;
        if (src->next >= src->lines.size())
            break;  // a loop starts its next pass with the next cycle
    }
}

void source_bulk(NmeaSource* src, std::string* out, std::size_t max_bytes)
{
    if (src->synthetic) {
        synthetic_cycle(src, out);
        return;
    }
    const std::size_t start = out->size();
    while (out->size() - start < max_bytes && take_line(src, out)) {
    }
}
