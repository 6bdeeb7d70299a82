// SPDX-License-Identifier: BSD-2-Clause
// Interpretation: what the receiver's sentences said so far, and the sentences the report is made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "nmea/reader.h"
#include "nmea/report.h"

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
