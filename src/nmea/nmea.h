// SPDX-License-Identifier: BSD-2-Clause
// Sentence reader, interpretation, status and location files, watchdog and
// date repair: everything the main loop does to the sentences of one read
// before handing them on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "nmea/reader.h"
#include "nmea/report.h"

// --- interpretation ---------------------------------------------------------
// Longest status file: nine labelled lines of short slots.
inline constexpr std::size_t kStatsMax = 1024;
// Two coordinate slots, two hemisphere slots, two line ends.
inline constexpr std::size_t kLocationMax = 64;

// What the receiver's sentences said so far on the current link. One per
// link: nmea_state_open starts it afresh when a link opens.
struct ReceiverState {
    PositionReport report;
    uint32_t position_seen;  // a GP, GL or BD position was stored in this reporting cycle
    uint32_t own_position;   // the link delivered a GP, GL or BD position: GN positions are not read
    uint32_t gprmc_seen;     // the link delivered a "$GPRMC": "$GNRMC" is not read
    uint32_t moving;         // the last RMC speed was 0.1 knot or more (1 until an RMC says otherwise)
    time_t last_fix_time;    // monotonic second of the last fix; -1 = not available
    uint32_t files_due;      // kStatsDue, kLocationDue: what was stored since the files were last written
};

inline constexpr uint32_t kStatsDue = 1;
inline constexpr uint32_t kLocationDue = 2;

// Starts the state of a newly opened link.
void nmea_state_open(ReceiverState* st, const NmeaReader* rd);
// Interprets the sentence nmea_next framed last. Returns 1 when it is to be
// passed on, 0 when it is to be dropped (the caller consumes it).
int nmea_interpret(ReceiverState* st, NmeaReader* rd);
// Rewrites the files that a stored sentence made due since they were last
// written, whether or not their text changed: monitors take the files' age as
// the service's heartbeat. Called after the sentences of a read.
void nmea_files_update(ReceiverState* st);
// Removes both files, at start-up and at shutdown. A lost link leaves them:
// the status file keeps its content until the next link stores a sentence,
// and the location file keeps the last known position.
void nmea_files_remove();
// Whether a sentence is one of the RMC sentences the report takes its speed
// and date from ("$GPRMC", "$GNRMC", "$BDRMC"): each is one receiver cycle's
// summary, which the unit's identification sentence follows.
bool nmea_is_rmc(const char* sentence, std::size_t len);
// Whether the unit's identification sentence follows this one: every
// "$GPRMC", and the other RMC talkers on a link that has sent no "$GPRMC".
bool nmea_fid_follows(const ReceiverState* st, const char* sentence, std::size_t len);
// The sentences the report is made of, by their tag ("$GPGGA,"); every
// other sentence, also one of these types from another talker, is other.
enum class SentenceKind { other, gsv, gga, gns, rmc };
SentenceKind nmea_kind(const char* sentence, std::size_t len);
// The status file text of a report into out; its length, or -1 when it does not fit.
int stats_format(const PositionReport& r, char* out, std::size_t size);
// Decimal degrees of an NMEA ddmm.mmmm text into out ("N/A" when not a number).
void nmea_degrees(const char* text, char* out, std::size_t size);

inline constexpr const char* kStatsPath = "/run/stats.gps";
inline constexpr const char* kLocationPath = "/run/loc.gps";

// --- location file and fix watchdog -----------------------------------------
// The location file text of a report into out; its length, 0 without a fix,
// -1 when it does not fit.
int location_format(const PositionReport& r, char* out, std::size_t size);
void location_touch(ReceiverState* st, const NmeaReader* rd);
// 0 = go on, -2 = no fix for longer than the link's watchdog_timeout.
int location_watchdog(const ReceiverState* st, const NmeaReader* rd);
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
// 0: the date is sound, repaired, or not there; -1: the date is a rollover
// victim that could not be rewritten, so it must not be believed.
int nmea_datefix(NmeaReader* rd);
// The NMEA checksum of the framed sentence: the XOR of its bytes between the
// '$' and the '*', as a rewritten date needs it.
unsigned nmea_chsum(NmeaReader* rd);
