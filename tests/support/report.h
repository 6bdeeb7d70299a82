// SPDX-License-Identifier: BSD-2-Clause
// A receiver's report as the tests of the position outputs start from.
#pragma once

#include <cstdio>

#include "nmea/report.h"

template <std::size_t N>
void put(char (&slot)[N], const char* text)
{
    std::snprintf(slot, N, "%s", text);
}

// A receiver cycle of GGA and RMC in Munich, on 8 December 2026.
inline PositionReport munich()
{
    PositionReport r{};
    put(r.fix_time, "121519.00");
    put(r.latitude, "4807.038");
    put(r.lat_hemisphere, "N");
    put(r.longitude, "01131.000");
    put(r.lon_hemisphere, "E");
    put(r.fix_quality, "1");
    put(r.satellites, "08");
    put(r.altitude, "545.4");
    put(r.rmc_time, "121519.00");
    put(r.rmc_status, "A");
    put(r.rmc_latitude, "4807.038");
    put(r.rmc_lat_hemisphere, "N");
    put(r.rmc_longitude, "01131.000");
    put(r.rmc_lon_hemisphere, "E");
    put(r.speed_knots, "022.4");
    put(r.course, "084.4");
    put(r.date, "081226");
    return r;
}
