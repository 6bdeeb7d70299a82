// SPDX-License-Identifier: BSD-2-Clause
// The position in each backend's format: the feed's object, native JSON, OwnTracks, Home Assistant, OsmAnd.
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "fleet/dialects.h"
#include "support/harness.h"
#include "support/slots.h"

namespace {

FleetPosition position(void (*change)(PositionReport&) = nullptr, int moving = 1)
{
    PositionReport r = munich();
    put(r.hdop, "0.9");
    if (change)
        change(r);
    FleetPosition p;
    fleet_position(&r, moving, &p);
    return p;
}

using Writer = std::size_t (*)(const FleetPosition&, const char*, char*, std::size_t);

std::string text(Writer w, const FleetPosition& p, const char* id)
{
    char buf[512];
    return std::string(buf, w(p, id, buf, sizeof buf));
}

std::size_t native(const FleetPosition& p, const char* id, char* buf, std::size_t size)
{
    return fleet_native_json(p, id, 42, buf, size);
}

std::size_t feed(const FleetPosition& p, const char*, char* buf, std::size_t size)
{
    return fleet_position_json(p, buf, size);
}

std::size_t attributes(const FleetPosition& p, const char*, char* buf, std::size_t size)
{
    return fleet_ha_attributes(p, buf, size);
}

}  // namespace

TEST(FleetPosition, ParsedOnce)
{
    const FleetPosition p = position();
    ASSERT_TRUE(p.valid);
    EXPECT_EQ(p.epoch, 1796732119);  // 2026-12-08T12:15:19Z
    EXPECT_STREQ(p.fraction, ".00");
    EXPECT_NEAR(p.lat, 48.1173, 1e-9);
    EXPECT_NEAR(p.lon, 11.516667, 1e-6);
    EXPECT_DOUBLE_EQ(p.hdop, 0.9);
    EXPECT_EQ(p.has, 0xffu);
    // A GGA of an older time beside the RMC: its items are not taken.
    const FleetPosition old = position([](PositionReport& r) { put(r.fix_time, "121518.00"); });
    EXPECT_EQ(old.has & (kFleetAltitude | kFleetHdop | kFleetSatellites), 0u);
    EXPECT_FALSE(position([](PositionReport& r) { put(r.fix_quality, "0"); }).valid);
}

TEST(FleetDialects, EachFormat)
{
    struct Case {
        const char* legend;
        Writer writer;
        void (*change)(PositionReport&);
        const char* id;
        int moving = 1;
    };
    // What each case writes, by its legend: a line with the legend, then one
    // with the text (empty: nothing sent).
    std::map<std::string, std::string> want;
    std::istringstream golden(th::read_file(th::data_path("fleet-formats.txt")));
    for (std::string legend, text; std::getline(golden, legend) && std::getline(golden, text);)
        want[legend] = text;
    const Case cases[] = {
        {"native: id and seq first, hdop last, the rest as before", native, nullptr, "van7"},
        {"native: the id escaped, no hdop", native, [](PositionReport& r) { put(r.hdop, ""); }, "a\"b\\c\n"},
        {"owntracks: integers but lat and lon", fleet_owntracks_location, nullptr, "n7"},
        {"owntracks: a course of 359.6 is 0, not 360; the tid escaped", fleet_owntracks_location,
         [](PositionReport& r) { put_all(r.course, "359.6", r.altitude, "", r.hdop, ""); }, "\""},
        {"owntracks: no date, no tst, nothing sent", fleet_owntracks_location,
         [](PositionReport& r) { put(r.date, ""); }, "n7"},
        {"osmand: every parameter, the id URL-encoded", fleet_osmand_query, nullptr, "van 7&x=1"},
        {"osmand: RMC only, southern and western", fleet_osmand_query,
         [](PositionReport& r) {
             put_all(r.fix_time, "", r.latitude, "", r.fix_quality, "", r.rmc_lat_hemisphere, "S", r.rmc_lon_hemisphere,
                     "W");
         },
         "v"},
        {"home assistant attributes", attributes, nullptr, ""},
        {"osmand: no fix, nothing sent", fleet_osmand_query, [](PositionReport& r) { put(r.fix_quality, "0"); }, "v"},
        // The MQTT feed's own object, from the report the receiver left.
        {"a whole cycle", feed, nullptr, ""},
        {"southern and western hemispheres, no fraction of a second, negative altitude", feed,
         [](PositionReport& r) {
             put_all(r.lat_hemisphere, "S", r.lon_hemisphere, "W", r.fix_time, "235959", r.rmc_time, "235959",
                     r.altitude, "-12.25");
         },
         "", 0},
        {"no date yet: no time", feed, [](PositionReport& r) { put(r.date, ""); }, ""},
        {"a month 13 is no date: no time", feed, [](PositionReport& r) { put(r.date, "081326"); }, ""},
        {"an hour 25 is no time", feed,
         [](PositionReport& r) { put_all(r.fix_time, "251519.00", r.rmc_time, "251519.00"); }, ""},
        {"empty items are left out, never sent as 0", feed,
         [](PositionReport& r) { put_all(r.altitude, "", r.speed_knots, "", r.course, "", r.satellites, ""); }, ""},
        {"RMC alone: its position and time, no quality", feed,
         [](PositionReport& r) {
             put_all(r.fix_time, "", r.latitude, "", r.longitude, "", r.fix_quality, "", r.satellites, "", r.altitude,
                     "", r.rmc_time, "000001", r.rmc_lat_hemisphere, "S");
         },
         ""},
        {"a differential fix and a date of the next century's receiver", feed,
         [](PositionReport& r) { put_all(r.fix_quality, "2", r.date, "310199"); }, ""},
        {"items that are no numbers are left out", feed,
         [](PositionReport& r) {
             put_all(r.altitude, "1e5", r.satellites, "x8", r.latitude, "48O7.038", r.date, "08122");
         },
         ""},
        {"a GGA of an earlier cycle beside a newer RMC: the RMC's time and position alone", feed,
         [](PositionReport& r) { put_all(r.rmc_time, "121520.00", r.rmc_latitude, "4807.039"); }, ""},
        {"a GGA newer than the RMC beside it: its time and items, no motion", feed,
         [](PositionReport& r) { put(r.fix_time, "121520.5"); }, ""},
        {"a GGA after midnight beside the RMC before it: no time, the date is not known", feed,
         [](PositionReport& r) { put_all(r.fix_time, "000000.00", r.rmc_time, "235959.00"); }, ""},
        {"GGA alone, without RMC: the date seen before, no motion", feed,
         [](PositionReport& r) { put_all(r.rmc_time, "", r.rmc_status, ""); }, "", 0},
        {"quality 0: no fix, nothing published", feed, [](PositionReport& r) { put(r.fix_quality, "0"); }, ""},
        {"RMC void without a quality: nothing published", feed,
         [](PositionReport& r) { put_all(r.fix_quality, "", r.rmc_status, "V"); }, ""},
        {"nothing at all", feed, [](PositionReport& r) { r = PositionReport{}; }, ""},
    };
    for (const Case& c : cases) {
        const FleetPosition p = position(c.change, c.moving);
        ASSERT_EQ(want.count(c.legend), 1u) << c.legend;
        EXPECT_EQ(text(c.writer, p, c.id), want[c.legend]) << c.legend;
        // One byte short, no room for the NUL: nothing rather than a cut object.
        char buf[512];
        EXPECT_EQ(c.writer(p, c.id, buf, want[c.legend].size()), 0u) << c.legend;
    }
    // A buffer too small for the feed's object gives nothing rather than half of it.
    char small[40];
    EXPECT_EQ(fleet_position_json(position(), small, sizeof small), 0u);
}

TEST(FleetDialects, OwnTracksTidAndWill)
{
    char tid[3];
    const struct {
        const char* setting;
        const char* client_id;
        const char* want;
    } cases[] = {{"", "van7", "n7"}, {"", "router-0042.", "42"}, {"", "x", "x"},
                 {"", "--", "g"},    {"ABC", "van7", "AB"},      {"Z", "van7", "Z"}};
    for (const auto& c : cases) {
        fleet_owntracks_tid(c.setting, c.client_id, tid);
        EXPECT_STREQ(tid, c.want) << c.setting << " / " << c.client_id;
    }
    char buf[64];
    EXPECT_EQ(std::string(buf, fleet_owntracks_lwt(1796732119, buf, sizeof buf)),
              "{\"_type\":\"lwt\",\"tst\":1796732119}");
}

TEST(FleetDialects, HomeAssistantDiscovery)
{
    const FleetDevice dev{"van 7/a", "qgps", "1.2.0", "gnss/van7/status", "gnss/van7/attributes"};
    char topic[128], buf[1024];
    std::size_t n;
    ASSERT_TRUE(fleet_ha_config(HaEntity::tracker, "", dev, topic, sizeof topic, buf, sizeof buf, &n));
    EXPECT_STREQ(topic, "homeassistant/device_tracker/van_7_a/config");
    EXPECT_EQ(std::string(buf, n),
              "{\"name\":\"van 7/a\",\"unique_id\":\"gnssd_van_7_a\",\"json_attributes_topic\":\"gnss/van7/attributes\","
              "\"availability_topic\":\"gnss/van7/status\",\"availability_template\":\"{{ value_json.state }}\","
              "\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"source_type\":\"gps\","
              "\"device\":{\"identifiers\":[\"gnssd_van_7_a\"],\"name\":\"van 7/a\",\"model\":\"qgps\","
              "\"sw_version\":\"1.2.0\"}}");
    ASSERT_TRUE(fleet_ha_config(HaEntity::speed, "ha", dev, topic, sizeof topic, buf, sizeof buf, &n));
    EXPECT_STREQ(topic, "ha/sensor/van_7_a_speed/config");
    const std::string speed(buf, n);
    EXPECT_NE(speed.find("\"state_topic\":\"gnss/van7/attributes\""), std::string::npos);
    EXPECT_NE(speed.find("\"unit_of_measurement\":\"km/h\""), std::string::npos);
    EXPECT_NE(speed.find("\"identifiers\":[\"gnssd_van_7_a\"]"), std::string::npos) << "one device for all";
    EXPECT_FALSE(fleet_ha_config(HaEntity::satellites, "ha", dev, topic, 16, buf, sizeof buf, &n)) << "topic cut";
    EXPECT_FALSE(fleet_ha_config(HaEntity::satellites, "ha", dev, topic, sizeof topic, buf, 64, &n)) << "config cut";
}

TEST(FleetDialects, FormatSetting)
{
    FleetFormat f = FleetFormat::owntracks;
    EXPECT_TRUE(fleet_format("", &f) && f == FleetFormat::native);
    EXPECT_TRUE(fleet_format("OwnTracks", &f) && f == FleetFormat::owntracks);
    EXPECT_TRUE(fleet_format("NATIVE", &f) && f == FleetFormat::native);
    EXPECT_FALSE(fleet_format("traccar", &f));
}
