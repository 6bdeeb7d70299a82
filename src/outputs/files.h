// SPDX-License-Identifier: BSD-2-Clause
// The status and location files: the report of the receiver's sentences for the router's pages and scripts.
#pragma once

#include <cstddef>

#include "nmea/interpret.h"
#include "nmea/report.h"

inline constexpr const char* kStatsPath = "/run/stats.gps";
inline constexpr const char* kLocationPath = "/run/loc.gps";

// Longest status file: nine labelled lines of short slots.
inline constexpr std::size_t kStatsMax = 1024;
// Two coordinate slots, two hemisphere slots, two line ends.
inline constexpr std::size_t kLocationMax = 64;

// Rewrites the files that a stored sentence made due since they were last
// written, whether or not their text changed: monitors take the files' age as
// the service's heartbeat. Called after the sentences of a read.
void nmea_files_update(ReceiverState* st);
// Removes both files, at start-up and at shutdown. A lost link leaves them:
// the status file keeps its content until the next link stores a sentence,
// and the location file keeps the last known position.
void nmea_files_remove();
// The status file text of a report into out; its length, or -1 when it does not fit.
int stats_format(const PositionReport& r, char* out, std::size_t size);
// The location file text of a report into out; its length, 0 without a fix,
// -1 when it does not fit.
int location_format(const PositionReport& r, char* out, std::size_t size);
// Decimal degrees of an NMEA ddmm.mmmm text into out ("N/A" when not a number).
void nmea_degrees(const char* text, char* out, std::size_t size);
// Replaces the file at a router path with text: written to a temporary file in
// the same directory, then renamed, so no reader ever sees half a file.
// 0 or -1 (errno set); the old file stays on failure.
int nmea_file_replace(const char* path, const char* text, std::size_t len);
