// SPDX-License-Identifier: BSD-2-Clause
// The status and location files and the fix watchdog.
#pragma once

#include <cstddef>

#include "nmea/interpret.h"
#include "nmea/reader.h"

inline constexpr const char* kStatsPath = "/run/stats.gps";
inline constexpr const char* kLocationPath = "/run/loc.gps";

// Rewrites the files that a stored sentence made due since they were last
// written, whether or not their text changed: monitors take the files' age as
// the service's heartbeat. Called after the sentences of a read.
void nmea_files_update(ReceiverState* st);
// Removes both files, at start-up and at shutdown. A lost link leaves them:
// the status file keeps its content until the next link stores a sentence,
// and the location file keeps the last known position.
void nmea_files_remove();
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
