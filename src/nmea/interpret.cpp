// SPDX-License-Identifier: BSD-2-Clause
// Interpretation of GGA, GNS, RMC and GSV sentences into the position report.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nmea/interpret.h"
#include "nmea/watchdog.h"
#include "nmea/reader.h"
#include "platform/platform.h"

namespace {

// One text slot of the report, addressed by offset so one table can list slots of any width.
struct Slot {
    std::size_t offset;
    std::size_t width;  // 0: the item is skipped
};
#define SLOT(member)                                                     \
    Slot                                                                 \
    {                                                                    \
        offsetof(PositionReport, member), sizeof(PositionReport::member) \
    }
constexpr Slot kSkip{0, 0};

constexpr Slot kGgaSlots[] = {
    SLOT(fix_time),         SLOT(latitude),   SLOT(lat_hemisphere), SLOT(longitude),    SLOT(lon_hemisphere),
    SLOT(fix_quality),      SLOT(satellites), SLOT(hdop),           SLOT(altitude),     SLOT(altitude_unit),
    SLOT(geoid_separation), SLOT(geoid_unit), SLOT(dgps_age),       SLOT(dgps_station),
};
constexpr Slot kRmcSlots[] = {
    SLOT(rmc_time),      SLOT(rmc_status),         SLOT(rmc_latitude),        SLOT(rmc_lat_hemisphere),
    SLOT(rmc_longitude), SLOT(rmc_lon_hemisphere), SLOT(speed_knots),         SLOT(course),
    SLOT(date),          SLOT(magnetic_variation), SLOT(variation_direction), SLOT(rmc_mode),
};
// Item 6 (the per-system mode string) stands in for no slot; items behind 9 are not kept.
constexpr Slot kGnsSlots[] = {
    SLOT(fix_time), SLOT(latitude),   SLOT(lat_hemisphere), SLOT(longitude), SLOT(lon_hemisphere),
    kSkip,          SLOT(satellites), SLOT(hdop),           SLOT(altitude),
};
#undef SLOT

// Offset of the first item: right behind the seven-byte tag such as "$GPGGA,".
constexpr std::size_t kTagLen = 7;

// The items of the framed sentence: from behind the tag up to '*', the line end or a NUL.
std::string_view sentence_items(const NmeaReader* rd)
{
    const std::size_t len = static_cast<std::size_t>(rd->sentence_len);
    if (len <= kTagLen)
        return {};
    std::string_view s(rd->rx_buf + rd->rx_start + kTagLen, len - kTagLen);
    const std::size_t stop = s.find_first_of(std::string_view("*\r\n\0", 4));
    return s.substr(0, stop);
}

// Stores the comma-separated items, one per slot, cutting each to its slot; missing items leave slots empty.
template <std::size_t N>
void store_items(ReceiverState* st, const NmeaReader* rd, const Slot (&slots)[N])
{
    std::string_view rest = sentence_items(rd);
    bool more = true;  // the tag's own comma opens item 1, even when it is empty
    auto* base = reinterpret_cast<char*>(&st->report);
    for (const Slot& slot : slots) {
        std::string_view item;
        if (more) {
            const std::size_t comma = rest.find(',');
            item = rest.substr(0, comma);
            if (comma == std::string_view::npos) {
                more = false;
                rest = {};
            } else {
                rest.remove_prefix(comma + 1);
            }
        }
        if (slot.width == 0)
            continue;
        char* dst = base + slot.offset;
        const std::size_t n = item.size() < slot.width - 1 ? item.size() : slot.width - 1;
        if (n > 0)
            std::memcpy(dst, item.data(), n);
        dst[n] = '\0';
    }
}

template <std::size_t N>
void set_slot(char (&slot)[N], const char* text)
{
    std::snprintf(slot, N, "%s", text);
}

// A position stored: the files are due and the fix watchdog is fed. Only a
// position of the receiver's own talkers (GP, GL, BD) marks its reporting
// cycle as seen: the GN solution some receivers send beside them is no
// repeat of it.
void position_stored(ReceiverState* st, const NmeaReader* rd, bool own_talker)
{
    if (own_talker) {
        st->position_seen = 1;
        st->own_position = 1;
    }
    st->report.updated = 1;
    st->files_due |= kStatsDue | kLocationDue;
    location_touch(st, rd);
}

int on_gsv(ReceiverState* st, const NmeaReader*)
{
    // A new reporting cycle begins: the next GGA is news again.
    st->position_seen = 0;
    return 1;
}

int on_gga(ReceiverState* st, const NmeaReader* rd)
{
    // Some modules repeat the cycle's GGA; only the first one of a cycle counts.
    if (rd->drop_repeated_gga && st->position_seen)
        return 0;
    store_items(st, rd, kGgaSlots);
    position_stored(st, rd, true);
    return 1;
}

// "$GNGGA": the position of a receiver that speaks GN only. One that also
// sends its own talkers' positions keeps those: its report reads as it always
// has, and the GN sentence is passed on unread.
int on_gn_gga(ReceiverState* st, const NmeaReader* rd)
{
    if (st->own_position)
        return 1;
    store_items(st, rd, kGgaSlots);
    position_stored(st, rd, false);
    return 1;
}

// The GNS mode string has one letter per satellite system; "N" is no fix.
// Empty, or "N" for every system, is a position without a fix.
bool gns_has_fix(const NmeaReader* rd)
{
    std::string_view rest = sentence_items(rd);
    for (int item = 1; item < 6; ++item) {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos)
            return false;
        rest.remove_prefix(comma + 1);
    }
    const std::string_view mode = rest.substr(0, rest.find(','));
    return mode.find_first_not_of('N') != std::string_view::npos;
}

void store_gns(ReceiverState* st, const NmeaReader* rd)
{
    store_items(st, rd, kGnsSlots);
    set_slot(st->report.fix_quality, gns_has_fix(rd) ? "1" : "0");
    // GNS altitudes are always metres; the sentence has no unit item of its own.
    set_slot(st->report.altitude_unit, st->report.altitude[0] ? "M" : "");
}

int on_gns(ReceiverState* st, const NmeaReader* rd)
{
    store_gns(st, rd);
    position_stored(st, rd, true);
    return 1;
}

int on_gn_gns(ReceiverState* st, const NmeaReader* rd)
{
    if (st->own_position)
        return 1;
    store_gns(st, rd);
    position_stored(st, rd, false);
    return 1;
}

// Below this speed over ground the vehicle stands: receivers report a parked
// vehicle as a few hundredths of a knot, in whatever digits they like
// ("0.0", "000.0", "00.00", "0.040").
constexpr double kStandingKnots = 0.1;

// The moving flag from the speed just stored. A speed that is missing (no
// fix) or no number cannot show the vehicle standing: it counts as moving.
void moving_update(ReceiverState* st)
{
    const char* const text = st->report.speed_knots;
    char* end = nullptr;
    const double knots = std::strtod(text, &end);
    st->moving = (end == text || !std::isfinite(knots) || knots >= kStandingKnots) ? 1 : 0;
}

int on_rmc(ReceiverState* st, const NmeaReader* rd)
{
    store_items(st, rd, kRmcSlots);
    // A date the rollover repair judged wrong but could not rewrite is no date.
    if (rd->date_suspect)
        st->report.date[0] = '\0';
    moving_update(st);
    st->report.updated = 1;
    st->files_due |= kStatsDue;
    return 1;
}

int on_gp_rmc(ReceiverState* st, const NmeaReader* rd)
{
    st->gprmc_seen = 1;
    return on_rmc(st, rd);
}

// "$GNRMC" stands in for "$GPRMC" only on a receiver that sends no "$GPRMC".
int on_gn_rmc(ReceiverState* st, const NmeaReader* rd)
{
    return st->gprmc_seen ? 1 : on_rmc(st, rd);
}

struct TagHandler {
    std::string_view tag;
    SentenceKind kind;
    int (*handle)(ReceiverState* st, const NmeaReader* rd);
};

// Only these tags feed the report; every other sentence is passed on unread.
// Multi-constellation receivers give their combined solution the GN talker,
// read only where the receiver's own talkers are silent. Other single-system
// talkers stay unread: a Galileo-only "$GAGGA" sent beside the receiver's
// "$GPGGA" would overwrite the better position with a worse one.
constexpr TagHandler kTagHandlers[] = {
    {"$GPGSV,", SentenceKind::gsv, on_gsv},    {"$GPGGA,", SentenceKind::gga, on_gga},
    {"$GNGGA,", SentenceKind::gga, on_gn_gga}, {"$GPRMC,", SentenceKind::rmc, on_gp_rmc},
    {"$GNRMC,", SentenceKind::rmc, on_gn_rmc}, {"$BDRMC,", SentenceKind::rmc, on_rmc},
    {"$GLGNS,", SentenceKind::gns, on_gns},    {"$GPGNS,", SentenceKind::gns, on_gns},
    {"$BDGNS,", SentenceKind::gns, on_gns},    {"$GNGNS,", SentenceKind::gns, on_gn_gns},
};

}  // namespace

void nmea_state_open(ReceiverState* st, const NmeaReader* rd)
{
    std::memset(st, 0, sizeof *st);
    st->moving = 1;
    if (rd && rd->watchdog_enabled)
        st->last_fix_time = rd->opened_at;
}

int nmea_interpret(ReceiverState* st, NmeaReader* rd)
{
    st->report.updated = 0;
    if (!rd || rd->sentence_len < static_cast<int>(kTagLen))
        return 1;
    const std::string_view head(rd->rx_buf + rd->rx_start, kTagLen);
    for (const TagHandler& h : kTagHandlers) {
        if (h.tag == head)
            return h.handle(st, rd);
    }
    return 1;
}

bool nmea_is_rmc(const char* sentence, std::size_t len)
{
    // The talker and type decide, as they always have for "$GPRMC": the
    // comma behind them is not asked for.
    constexpr std::size_t kTalkerTypeLen = 6;
    if (!sentence || len < kTalkerTypeLen)
        return false;
    const std::string_view head(sentence, kTalkerTypeLen);
    for (const TagHandler& h : kTagHandlers) {
        if (h.kind == SentenceKind::rmc && h.tag.substr(0, kTalkerTypeLen) == head)
            return true;
    }
    return false;
}

bool nmea_fid_follows(const ReceiverState* st, const char* sentence, std::size_t len)
{
    if (!nmea_is_rmc(sentence, len))
        return false;
    return std::string_view(sentence, 6) == "$GPRMC" || !st->gprmc_seen;
}

SentenceKind nmea_kind(const char* sentence, std::size_t len)
{
    if (!sentence || len < kTagLen)
        return SentenceKind::other;
    const std::string_view head(sentence, kTagLen);
    for (const TagHandler& h : kTagHandlers) {
        if (h.tag == head)
            return h.kind;
    }
    return SentenceKind::other;
}
