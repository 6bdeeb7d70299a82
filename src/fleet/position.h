// SPDX-License-Identifier: BSD-2-Clause
// One receiver cycle's position, parsed once from the report's verbatim items.
#pragma once

#include <cstddef>
#include <cstdint>

struct PositionReport;

// Which items of a FleetPosition the receiver gave.
enum FleetItem : uint32_t {
    kFleetTime = 1u << 0,  // epoch and fraction: a time with the RMC's date
    kFleetLatLon = 1u << 1,
    kFleetAltitude = 1u << 2,
    kFleetSpeed = 1u << 3,
    kFleetCourse = 1u << 4,
    kFleetHdop = 1u << 5,
    kFleetSatellites = 1u << 6,
    kFleetQuality = 1u << 7,
};

struct FleetPosition {
    uint32_t has;  // FleetItem bits
    bool valid;    // the cycle has a fix; nothing else is filled without one
    bool moving;
    int64_t epoch;      // UTC seconds of the fix
    char fraction[12];  // its fraction as the receiver wrote it (".00"), or ""
    double lat, lon;    // signed decimal degrees
    double altitude;    // metres above mean sea level
    double speed_knots;
    double course;  // degrees true
    double hdop;
    int altitude_decimals, course_decimals, hdop_decimals;
    int satellites;
    int quality;  // GGA fix quality
};

// Parses the latest items of the report. A receiver that sends GGA only now
// and then leaves GGA items of an older time beside a newer RMC (and the
// other way round): only the items of the newer time are taken. Returns
// position->valid.
bool fleet_position(const PositionReport* report, int moving, FleetPosition* position);

// The position's JSON object as the MQTT feed has always sent it:
// {"time":"2026-12-08T12:15:19.00Z","lat":48.117300,...,"moving":true}.
// Returns the length, 0 without a fix or when the buffer is too small.
std::size_t fleet_position_json(const FleetPosition& position, char* buf, std::size_t size);

// A decimal number as the receiver wrote it ("545.4", "-12", "084.40"): its
// value and its count of decimals; false for anything else.
bool nmea_number(const char* item, double* value, int* decimals);

// Appends printf-formatted text to a caller's buffer; once a piece does not
// fit, the rest is dropped and full stays set.
struct TextOut {
    char* buf;
    std::size_t size;
    std::size_t len;
    bool full;

    void add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A JSON string's content (without the quotes) with its escapes.
    void json_text(const char* text);
    // The length written, 0 when anything was cut.
    std::size_t result() const { return full ? 0 : len; }
};
