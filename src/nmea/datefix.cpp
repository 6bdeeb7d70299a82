// SPDX-License-Identifier: BSD-2-Clause
// Repair of dates that receivers with a 10-bit week counter report 1024 weeks too early.
#include <cctype>
#include <cstring>
#include <ctime>

#include "nmea/datefix.h"
#include "nmea/reader.h"
#include "platform/platform.h"
#include "platform/log.h"

// Sentence types that carry a date, the item holding it and its layout; searched in order.
const DateFixRule kDateFixRules[] = {
    {"RMC", 9, "%d%m%y"},
    {"TRF", 2, "%d%m%y"},
    {"ZDA", 2, "%d,%m,%Y"},
    {nullptr, 0, nullptr},
};

namespace {

// 1024 weeks: how far a rolled-over week counter sets the date back.
constexpr time_t kRolloverSeconds = 1024LL * 604800LL;
// Years since 1900 up to this one are taken as rollover victims (2018 and before).
constexpr int kLastVictimYear = 118;
// Room for a formatted date item.
constexpr std::size_t kDateTextMax = 32;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The first correction of a run is worth telling about; later ones are routine.
bool rollover_notice = true;

// Length of the framed sentence without its line end, for quoting it in a message.
int quoted_len(const NmeaReader* rd)
{
    int n = rd->sentence_len;
    if (n > rd->rx_len - rd->rx_start)
        n = rd->rx_len - rd->rx_start;
    const char* const buf = rd->rx_buf + rd->rx_start;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        --n;
    return n < 0 ? 0 : n;
}

}  // namespace

int nmea_datefix(NmeaReader* rd)
{
    if (!rd || !rd->date_fix_enabled)
        return 0;
    char* const buf = rd->rx_buf + rd->rx_start;
    const int len = rd->sentence_len;
    if (len < 6 || len > rd->rx_len - rd->rx_start)
        return 0;

    const DateFixRule* rule = kDateFixRules;
    while (rule->type && std::memcmp(buf + 3, rule->type, 3) != 0)
        ++rule;
    if (!rule->type)
        return 0;

    // Items and the checksum that covers them end at the '*'.
    char* const star = static_cast<char*>(std::memchr(buf, '*', static_cast<std::size_t>(len)));
    if (!star)
        return 0;
    int item = -1;
    int commas = 0;
    for (int i = 0; buf + i < star; ++i) {
        if (buf[i] == ',' && ++commas == rule->item) {
            item = i + 1;
            break;
        }
    }
    if (item < 0) {
        log_msg(LOG_WARNING, "cannot find %i. item in \"%.*s\"", rule->item, quoted_len(rd), buf);
        return 0;
    }
    char* const date = buf + item;
    if (!std::isdigit(static_cast<unsigned char>(*date)))
        return 0;  // no date yet (no fix): nothing to repair

    // The text ends at the NUL behind the buffered data and the parse cannot cross the '*'.
    struct tm tm {};
    const char* parsed_end = strptime(date, rule->format, &tm);
    if (!parsed_end) {
        log_msg(LOG_WARNING, "cannot parse date from \"%.*s\"", quoted_len(rd), buf);
        return 0;
    }
    tm.tm_hour = 2;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    if (tm.tm_year > kLastVictimYear)
        return 0;

    if (rollover_notice)
        log_msg(LOG_INFO, "week rollover problem detected, invalid date %04i-%02i-%02i received", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday);

    time_t seconds = timegm(&tm);
    if (seconds == static_cast<time_t>(-1)) {
        log_msg(LOG_WARNING, "cannot convert date to seconds from \"%.*s\"", quoted_len(rd), buf);
        return -1;
    }
    seconds += kRolloverSeconds;
    struct tm fixed {};
    if (!gmtime_r(&seconds, &fixed)) {
        log_msg(LOG_WARNING, "cannot convert seconds to date from %lli", static_cast<long long>(seconds));
        return -1;
    }
    char text[kDateTextMax];
    const std::size_t text_len = std::strftime(text, sizeof text, rule->format, &fixed);
    if (text_len == 0) {
        log_msg(LOG_WARNING,
                "cannot format date from tm_sec=%i tm_min=%i tm_hour=%i tm_mday=%i tm_mon=%i tm_year=%i tm_wday=%i "
                "tm_yday=%i tm_isdst=%i",
                fixed.tm_sec, fixed.tm_min, fixed.tm_hour, fixed.tm_mday, fixed.tm_mon, fixed.tm_year, fixed.tm_wday,
                fixed.tm_yday, fixed.tm_isdst);
        return -1;
    }
    // The sentence keeps its length: a date sent narrower than the format (a one-digit day) is left as it
    // came, and so is a sentence without room for two checksum digits in front of its line end; either way
    // its date is known to be wrong and must not be believed.
    if (static_cast<std::size_t>(parsed_end - date) != text_len || star + 3 > buf + len - 2)
        return -1;

    std::memcpy(date, text, text_len);
    const unsigned sum = nmea_chsum(rd);
    star[1] = kHexDigits[(sum >> 4) & 0xF];
    star[2] = kHexDigits[sum & 0xF];

    if (rollover_notice) {
        log_msg(LOG_INFO, "calculated correct date %04i-%02i-%02i", fixed.tm_year + 1900, fixed.tm_mon + 1,
                fixed.tm_mday);
        rollover_notice = false;
    }
    return 0;
}

unsigned nmea_chsum(NmeaReader* rd)
{
    if (!rd)
        return 0;
    const char* const buf = rd->rx_buf + rd->rx_start;
    const int len = rd->sentence_len;
    if (len < 5) {
        log_msg(LOG_WARNING, "%s() - too short NMEA sentence \"%.*s\"", "nmea_chsum", quoted_len(rd), buf);
        return 0;
    }
    unsigned sum = static_cast<unsigned char>(buf[1]);
    for (int i = 2; i < len; ++i) {
        const char c = buf[i];
        if (c == '*')
            break;
        if (c == '\0') {
            log_msg(LOG_WARNING, "%s() - NMEA sentence end not found in \"%.*s\"", "nmea_chsum", quoted_len(rd), buf);
            break;
        }
        sum ^= static_cast<unsigned char>(c);
    }
    return sum;
}
