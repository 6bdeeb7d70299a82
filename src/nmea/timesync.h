// Setting the RTC and the system clock from GNSS time.
#pragma once

struct TimeSyncSettings;
struct PositionReport;

inline constexpr const char* kTimesyncStampPath = "/run/gps/timesync_last";

void timesync_exec(const TimeSyncSettings* settings, const PositionReport* report);
