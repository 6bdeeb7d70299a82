// SPDX-License-Identifier: BSD-2-Clause
// The position object of the MQTT feed, from the report the receiver left.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "fleet/position.h"
#include "support/report.h"

namespace {

std::size_t json_into(const PositionReport& r, int moving, char* buf, std::size_t size)
{
    FleetPosition position;
    if (!fleet_position(&r, moving, &position))
        return 0;
    return fleet_position_json(position, buf, size);
}

std::string json(const PositionReport& r, int moving)
{
    char buf[512];
    return std::string(buf, json_into(r, moving, buf, sizeof buf));
}

}  // namespace

TEST(MqttJson, PositionFromTheReport)
{
    struct Case {
        const char* legend;
        void (*change)(PositionReport&);
        int moving;
        const char* want;  // "" for nothing published
    };
    const Case cases[] = {
        {"a whole cycle", [](PositionReport&) {}, 1,
         "{\"time\":\"2026-12-08T12:15:19.00Z\",\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"speed\":41.5,"
         "\"course\":84.4,\"sats\":8,\"fix\":1,\"moving\":true}"},
        {"southern and western hemispheres, no fraction of a second, negative altitude",
         [](PositionReport& r) {
             put(r.lat_hemisphere, "S");
             put(r.lon_hemisphere, "W");
             put(r.fix_time, "235959");
             put(r.rmc_time, "235959");
             put(r.altitude, "-12.25");
         },
         0,
         "{\"time\":\"2026-12-08T23:59:59Z\",\"lat\":-48.117300,\"lon\":-11.516667,\"alt\":-12.25,\"speed\":41.5,"
         "\"course\":84.4,\"sats\":8,\"fix\":1,\"moving\":false}"},
        {"no date yet: no time", [](PositionReport& r) { put(r.date, ""); }, 1,
         "{\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"speed\":41.5,\"course\":84.4,\"sats\":8,\"fix\":1,"
         "\"moving\":true}"},
        {"a month 13 is no date: no time", [](PositionReport& r) { put(r.date, "081326"); }, 1,
         "{\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"speed\":41.5,\"course\":84.4,\"sats\":8,\"fix\":1,"
         "\"moving\":true}"},
        {"an hour 25 is no time",
         [](PositionReport& r) {
             put(r.fix_time, "251519.00");
             put(r.rmc_time, "251519.00");
         },
         1,
         "{\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"speed\":41.5,\"course\":84.4,\"sats\":8,\"fix\":1,"
         "\"moving\":true}"},
        {"empty items are left out, never sent as 0",
         [](PositionReport& r) {
             put(r.altitude, "");
             put(r.speed_knots, "");
             put(r.course, "");
             put(r.satellites, "");
         },
         1, "{\"time\":\"2026-12-08T12:15:19.00Z\",\"lat\":48.117300,\"lon\":11.516667,\"fix\":1,\"moving\":true}"},
        {"RMC alone: its position and time, no quality",
         [](PositionReport& r) {
             put(r.fix_time, "");
             put(r.latitude, "");
             put(r.longitude, "");
             put(r.fix_quality, "");
             put(r.satellites, "");
             put(r.altitude, "");
             put(r.rmc_time, "000001");
             put(r.rmc_lat_hemisphere, "S");
         },
         1,
         "{\"time\":\"2026-12-08T00:00:01Z\",\"lat\":-48.117300,\"lon\":11.516667,\"speed\":41.5,\"course\":84.4,"
         "\"moving\":true}"},
        {"a differential fix and a date of the next century's receiver",
         [](PositionReport& r) {
             put(r.fix_quality, "2");
             put(r.date, "310199");
         },
         1,
         "{\"time\":\"2099-01-31T12:15:19.00Z\",\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"speed\":41.5,"
         "\"course\":84.4,\"sats\":8,\"fix\":2,\"moving\":true}"},
        {"items that are no numbers are left out",
         [](PositionReport& r) {
             put(r.altitude, "1e5");
             put(r.satellites, "x8");
             put(r.latitude, "48O7.038");
             put(r.date, "08122");
         },
         1, "{\"speed\":41.5,\"course\":84.4,\"fix\":1,\"moving\":true}"},
        {"a GGA of an earlier cycle beside a newer RMC: the RMC's time and position alone",
         [](PositionReport& r) {
             put(r.rmc_time, "121520.00");
             put(r.rmc_latitude, "4807.039");
         },
         1,
         "{\"time\":\"2026-12-08T12:15:20.00Z\",\"lat\":48.117317,\"lon\":11.516667,\"speed\":41.5,\"course\":84.4,"
         "\"moving\":true}"},
        {"a GGA newer than the RMC beside it: its time and items, no motion",
         [](PositionReport& r) { put(r.fix_time, "121520.5"); }, 1,
         "{\"time\":\"2026-12-08T12:15:20.5Z\",\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"sats\":8,"
         "\"fix\":1,\"moving\":true}"},
        {"a GGA after midnight beside the RMC before it: no time, the date is not known",
         [](PositionReport& r) {
             put(r.fix_time, "000000.00");
             put(r.rmc_time, "235959.00");
         },
         1, "{\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"sats\":8,\"fix\":1,\"moving\":true}"},
        {"GGA alone, without RMC: the date seen before, no motion",
         [](PositionReport& r) {
             put(r.rmc_time, "");
             put(r.rmc_status, "");
         },
         0,
         "{\"time\":\"2026-12-08T12:15:19.00Z\",\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,\"sats\":8,"
         "\"fix\":1,\"moving\":false}"},
        {"quality 0: no fix, nothing published", [](PositionReport& r) { put(r.fix_quality, "0"); }, 1, ""},
        {"RMC void without a quality: nothing published",
         [](PositionReport& r) {
             put(r.fix_quality, "");
             put(r.rmc_status, "V");
         },
         1, ""},
        {"nothing at all", [](PositionReport& r) { r = PositionReport{}; }, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        PositionReport r = munich();
        c.change(r);
        EXPECT_EQ(json(r, c.moving), c.want);
    }
    // A buffer too small for the object gives nothing rather than half of it.
    PositionReport r = munich();
    char small[40];
    EXPECT_EQ(json_into(r, 1, small, sizeof small), 0u);
}
