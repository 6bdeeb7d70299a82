// SPDX-License-Identifier: BSD-2-Clause
// Setting the RTC and the system clock from GNSS time.
#pragma once

#include <cstdint>
#include <ctime>

// Setting the clocks from GNSS time: wanted at all, and how often.
struct TimeSyncSettings {
    uint32_t enabled;
    uint32_t period;
};

struct PositionReport;

inline constexpr const char* kTimesyncStampPath = "/run/gps/timesync_last";

void timesync_exec(const TimeSyncSettings* settings, const PositionReport* report);

// Earliest time the clocks are ever set to: the build date of the program.
// Tests move it to replay old captures.
time_t timesync_floor();
void timesync_set_floor(time_t floor);
