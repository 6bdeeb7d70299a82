// Sentence reader, interpretation, status and location files, watchdog and
// date repair: everything the main loop does to one sentence before handing
// it on.
#pragma once

#include <cstddef>

struct ReceiverLink;

// --- reader ---------------------------------------------------------------
// >0: a sentence of n bytes at the start of rx_buf; 0: nothing this time;
// -1: no link or read failure; -2: the fix watchdog expired.
[[nodiscard]] int nmea_next(ReceiverLink* link);
int nmea_read(ReceiverLink* link);
void nmea_consume(ReceiverLink* link);
unsigned nmea_chsum(ReceiverLink* link);

// --- interpretation and status file ---------------------------------------
// Returns 1 when the sentence is to be passed on, 0 when it was dropped (and
// already consumed).
int nmea_interpret(ReceiverLink* link);
void stats_write(ReceiverLink* link);
// Decimal degrees of an NMEA ddmm.mmmm text into out ("N/A" when not a number).
void nmea_degrees(const char* text, char* out, std::size_t size);

inline constexpr const char* kStatsPath = "/run/stats.gps";
inline constexpr const char* kLocationPath = "/run/loc.gps";

// --- location file and fix watchdog -----------------------------------------
void location_write(ReceiverLink* link);
void location_touch(ReceiverLink* link);
// 0 = go on, -2 = no fix for longer than the link's watchdog_timeout.
int location_watchdog(ReceiverLink* link);
// Replaces the file at a router path with text: written to a temporary file in
// the same directory, then renamed, so no reader ever sees half a file.
// 0 or -1 (errno set); the old file stays on failure.
int nmea_file_replace(const char* path, const char* text, std::size_t len);

// --- week-rollover date repair ----------------------------------------------
struct DateFixRule {
    const char* type;    // three letters behind the talker; nullptr ends
    int item;            // item holding the date
    const char* format;  // strptime/strftime format
};
extern const DateFixRule kDateFixRules[];
void nmea_datefix(ReceiverLink* link);
