// SPDX-License-Identifier: BSD-2-Clause
// The position as each fleet backend reads it: the native JSON with the
// router's id, OwnTracks, Home Assistant discovery and the OsmAnd query.
#include "fleet/dialects.h"

#include <strings.h>

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

int rounded(double v)
{
    return static_cast<int>(std::lround(v));
}

// A query value: unreserved characters as they are, the rest %XX.
void url_text(TextOut& o, const char* text)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text ? text : ""); *c && !o.full; ++c) {
        if (std::isalnum(*c) || std::strchr("-._~", *c))
            o.add("%c", *c);
        else
            o.add("%%%02X", *c);
    }
}

// Home Assistant's object ids and unique ids take [A-Za-z0-9_-] only.
void object_id(TextOut& o, const char* id)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(id ? id : ""); *c && !o.full; ++c)
        o.add("%c", std::isalnum(*c) || *c == '_' || *c == '-' ? *c : '_');
}

struct HaRow {
    HaEntity entity;
    const char* component;
    const char* suffix;  // of the object id and the name
    const char* extra;   // fields of this entity's own, each with a leading ','
};

constexpr HaRow kHaRows[] = {
    {HaEntity::tracker, "device_tracker", "", ",\"source_type\":\"gps\""},
    {HaEntity::speed, "sensor", "_speed",
     ",\"device_class\":\"speed\",\"unit_of_measurement\":\"km/h\",\"state_class\":\"measurement\","
     "\"value_template\":\"{{ value_json.speed | default(0) }}\""},
    {HaEntity::satellites, "sensor", "_satellites",
     ",\"icon\":\"mdi:satellite-variant\",\"state_class\":\"measurement\","
     "\"value_template\":\"{{ value_json.satellites | default(0) }}\""},
};

}  // namespace

bool fleet_format(const char* setting, FleetFormat* format)
{
    if (!setting || !setting[0] || strcasecmp(setting, "native") == 0)
        *format = FleetFormat::native;
    else if (strcasecmp(setting, "owntracks") == 0)
        *format = FleetFormat::owntracks;
    else
        return false;
    return true;
}

int fleet_accuracy_m(const FleetPosition& p)
{
    if (!(p.has & kFleetHdop))
        return -1;
    const int m = rounded(std::ceil(p.hdop * kFleetMetresPerHdop));
    return m < 1 ? 1 : m;
}

std::size_t fleet_native_json(const FleetPosition& p, const char* id, uint64_t seq, char* buf, std::size_t size)
{
    if (!p.valid || !buf || size == 0)
        return 0;
    TextOut o{buf, size, 0, false};
    o.add("{\"id\":\"");
    o.json_text(id);
    o.add("\",\"seq\":%" PRIu64 ",", seq);
    if (o.full)
        return 0;
    // The body of the object without its '{'; its '}' becomes the hdop.
    const std::size_t body = fleet_position_json(p, buf + o.len - 1, size - o.len + 1);
    if (body < 2)
        return 0;
    buf[o.len - 1] = ',';
    o.len += body - 2;
    if (p.has & kFleetHdop)
        o.add(",\"hdop\":%.*f", p.hdop_decimals, p.hdop);
    o.add("}");
    return o.result();
}

void fleet_owntracks_tid(const char* setting, const char* client_id, char tid[3])
{
    tid[0] = tid[1] = tid[2] = '\0';
    if (setting && setting[0]) {
        tid[0] = setting[0];
        tid[1] = setting[1];
        return;
    }
    int n = 0;
    const char* id = client_id ? client_id : "";
    for (std::size_t i = std::strlen(id); i > 0 && n < 2; --i)
        if (std::isalnum(static_cast<unsigned char>(id[i - 1])))
            tid[n++] = id[i - 1];
    if (n == 2)
        std::swap(tid[0], tid[1]);
    if (n == 0)
        tid[0] = 'g';
}

std::size_t fleet_owntracks_location(const FleetPosition& p, const char* tid, char* buf, std::size_t size)
{
    if (!p.valid || !(p.has & kFleetTime) || !(p.has & kFleetLatLon) || !buf || size == 0)
        return 0;
    TextOut o{buf, size, 0, false};
    o.add("{\"_type\":\"location\",\"tid\":\"");
    o.json_text(tid);
    o.add("\",\"tst\":%" PRId64 ",\"lat\":%.6f,\"lon\":%.6f", p.epoch, p.lat, p.lon);
    if (p.has & kFleetAltitude)
        o.add(",\"alt\":%d", rounded(p.altitude));
    if (p.has & kFleetSpeed)
        o.add(",\"vel\":%d", rounded(p.speed_knots * 1.852));
    if (p.has & kFleetCourse)
        o.add(",\"cog\":%d", rounded(p.course) % 360);
    if (fleet_accuracy_m(p) > 0)
        o.add(",\"acc\":%d", fleet_accuracy_m(p));
    o.add("}");
    return o.result();
}

std::size_t fleet_owntracks_lwt(int64_t tst, char* buf, std::size_t size)
{
    TextOut o{buf, size, 0, false};
    o.add("{\"_type\":\"lwt\",\"tst\":%" PRId64 "}", tst);
    return o.result();
}

bool fleet_ha_config(HaEntity entity, const char* prefix, const FleetDevice& d, char* topic, std::size_t topic_size,
                     char* buf, std::size_t size, std::size_t* length)
{
    *length = 0;
    const HaRow* row = nullptr;
    for (const HaRow& r : kHaRows)
        if (r.entity == entity)
            row = &r;
    if (!row || !topic || topic_size == 0 || !buf || size == 0)
        return false;
    TextOut t{topic, topic_size, 0, false};
    t.add("%s/%s/", prefix && prefix[0] ? prefix : "homeassistant", row->component);
    object_id(t, d.id);
    t.add("%s/config", row->suffix);
    TextOut o{buf, size, 0, false};
    o.add("{\"name\":\"");
    o.json_text(d.id);
    o.add("%s\",\"unique_id\":\"gnssd_", row->suffix[0] ? row->suffix : "");
    object_id(o, d.id);
    o.add("%s\"", row->suffix);
    o.add(entity == HaEntity::tracker ? ",\"json_attributes_topic\":\"" : ",\"state_topic\":\"");
    o.json_text(d.attributes_topic);
    o.add("\",\"availability_topic\":\"");
    o.json_text(d.status_topic);
    o.add(
        "\",\"availability_template\":\"{{ value_json.state }}\",\"payload_available\":\"online\","
        "\"payload_not_available\":\"offline\"%s,\"device\":{\"identifiers\":[\"gnssd_",
        row->extra);
    object_id(o, d.id);
    o.add("\"],\"name\":\"");
    o.json_text(d.id);
    o.add("\",\"model\":\"");
    o.json_text(d.model && d.model[0] ? d.model : "GNSS router");
    o.add("\",\"sw_version\":\"");
    o.json_text(d.version);
    o.add("\"}}");
    if (t.full || o.full)
        return false;
    *length = o.len;
    return true;
}

std::size_t fleet_ha_attributes(const FleetPosition& p, char* buf, std::size_t size)
{
    if (!p.valid || !(p.has & kFleetLatLon) || !buf || size == 0)
        return 0;
    TextOut o{buf, size, 0, false};
    // Home Assistant draws no position without an accuracy: 0 stands for
    // "not known" there.
    const int acc = fleet_accuracy_m(p);
    o.add("{\"latitude\":%.6f,\"longitude\":%.6f,\"gps_accuracy\":%d", p.lat, p.lon, acc > 0 ? acc : 0);
    if (p.has & kFleetAltitude)
        o.add(",\"altitude\":%.*f", p.altitude_decimals, p.altitude);
    if (p.has & kFleetSpeed)
        o.add(",\"speed\":%.1f", p.speed_knots * 1.852);
    if (p.has & kFleetCourse)
        o.add(",\"course\":%.*f", p.course_decimals, p.course);
    if (p.has & kFleetSatellites)
        o.add(",\"satellites\":%d", p.satellites);
    o.add("}");
    return o.result();
}

std::size_t fleet_osmand_query(const FleetPosition& p, const char* id, char* buf, std::size_t size)
{
    if (!p.valid || !(p.has & kFleetTime) || !(p.has & kFleetLatLon) || !buf || size == 0)
        return 0;
    TextOut o{buf, size, 0, false};
    o.add("id=");
    url_text(o, id);
    o.add("&lat=%.6f&lon=%.6f&timestamp=%" PRId64, p.lat, p.lon, p.epoch);
    if (p.has & kFleetSpeed)
        o.add("&speed=%.2f", p.speed_knots);
    if (p.has & kFleetCourse)
        o.add("&bearing=%.*f", p.course_decimals, p.course);
    if (p.has & kFleetAltitude)
        o.add("&altitude=%.*f", p.altitude_decimals, p.altitude);
    if (fleet_accuracy_m(p) > 0)
        o.add("&accuracy=%d&hdop=%.*f", fleet_accuracy_m(p), p.hdop_decimals, p.hdop);
    o.add("&valid=true");
    return o.result();
}
