// SPDX-License-Identifier: BSD-2-Clause
// Week-rollover date repair of the framed sentence.
#pragma once

#include "nmea/reader.h"

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
