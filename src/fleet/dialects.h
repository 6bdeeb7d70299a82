// SPDX-License-Identifier: BSD-2-Clause
// The position as each fleet backend reads it: the native JSON with the
// router's id, OwnTracks, Home Assistant discovery and the OsmAnd query.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fleet/position.h"

// The dialect of the MQTT positions.
enum class FleetFormat { native, owntracks };

// MOD_GPS_MQTT_FORMAT as a dialect: "" and "native" (in any case) native,
// "owntracks" OwnTracks; false for anything else.
bool fleet_format(const char* setting, FleetFormat* format);

// Metres of one HDOP unit: the 95 % horizontal error of a GNSS fix is about
// HDOP times this user range error, as fleet backends draw it as a circle.
inline constexpr double kFleetMetresPerHdop = 5.0;

// The accuracy estimate in whole metres (at least 1), or -1 without HDOP.
int fleet_accuracy_m(const FleetPosition& position);

// The native object with "id" and "seq" in front and "hdop" where the
// receiver gave one; the other fields as mqtt_position_json writes them.
// Every writer here returns the length, 0 when the position lacks what the
// format must carry or the buffer is too small.
std::size_t fleet_native_json(const FleetPosition& position, const char* id, uint64_t seq, char* buf, std::size_t size);

// The OwnTracks tracker id: the setting cut to two characters, or else the
// last two letters or digits of the client id ("van7" -> "n7").
void fleet_owntracks_tid(const char* setting, const char* client_id, char tid[3]);

// An OwnTracks location object: _type, tid, tst, lat, lon and where given
// alt, vel, cog, acc (all integers but lat and lon). Needs a time and a
// position.
std::size_t fleet_owntracks_location(const FleetPosition& position, const char* tid, char* buf, std::size_t size);

// The OwnTracks last will, {"_type":"lwt","tst":N}, N the connect time.
std::size_t fleet_owntracks_lwt(int64_t tst, char* buf, std::size_t size);

// What Home Assistant's discovery needs to know of the router.
struct FleetDevice {
    const char* id;                // the MQTT client id
    const char* model;             // module family, "" when not known
    const char* version;           // the daemon's version
    const char* status_topic;      // "online"/"offline" in its "state"
    const char* attributes_topic;  // where fleet_ha_attributes goes
};

// The entities a router offers: the tracker and two sensors read from the
// tracker's attributes.
enum class HaEntity { tracker, speed, satellites };

// The retained discovery topic and config of one entity:
// <prefix>/device_tracker/<object id>/config (sensor/ for the sensors),
// the object id being the client id with every character outside
// [A-Za-z0-9_-] made '_'. False when either does not fit.
bool fleet_ha_config(HaEntity entity, const char* prefix, const FleetDevice& device, char* topic,
                     std::size_t topic_size, char* buf, std::size_t size, std::size_t* length);

// The tracker's attributes: latitude, longitude, gps_accuracy and where
// given altitude, speed (km/h), course and satellites.
std::size_t fleet_ha_attributes(const FleetPosition& position, char* buf, std::size_t size);

// The query of an OsmAnd request (without '?'): id, lat, lon, timestamp,
// speed (knots), bearing, altitude, accuracy, hdop, valid.
std::size_t fleet_osmand_query(const FleetPosition& position, const char* id, char* buf, std::size_t size);
