// SPDX-License-Identifier: BSD-2-Clause
// The latest position items of the receiver, kept verbatim as text.
#pragma once

#include <cstdint>

// Slot widths count the terminating NUL.
struct PositionReport {
    int32_t updated;  // a GGA, GNS or RMC sentence was stored just now
    char fix_time[12];
    char latitude[14];
    char lat_hemisphere[2];
    char longitude[14];
    char lon_hemisphere[2];
    char fix_quality[4];
    char satellites[4];
    char hdop[8];
    char altitude[8];
    char altitude_unit[2];
    char geoid_separation[8];
    char geoid_unit[2];
    char dgps_age[16];
    char dgps_station[16];
    char rmc_time[12];
    char rmc_status[2];
    char rmc_latitude[14];
    char rmc_lat_hemisphere[2];
    char rmc_longitude[14];
    char rmc_lon_hemisphere[2];
    char speed_knots[8];
    char course[8];
    char date[10];
    char magnetic_variation[8];
    char variation_direction[8];
    char rmc_mode[4];
};
