// SPDX-License-Identifier: BSD-2-Clause
// Configuration of the service, read once from "/opt/gps/etc/settings".
#pragma once

#include <cstdint>
#include <cstdio>

#include "nmea/timesync.h"
#include "outputs/mqtt.h"
#include "outputs/rsock.h"
#include "outputs/snmp.h"

inline constexpr int kRemoteSocketCount = 4;

// The MOD_GPS_STORE_* keys of the fleet store; texts, so that an absent key
// takes its default and 0 keeps its meaning (see src/fleet/store.h).
struct StoreSettings {
    char* path;  // "": /opt/gps/var/fleet.db
    char* size;  // KiB on flash; "": 8192, 0: memory only
    char* sync;  // seconds between commits; "": 5
};

// The MOD_GPS_HTTP_* keys of the fleet process's OsmAnd output; texts are
// never null after settings_load.
struct HttpSettings {
    uint32_t enabled;
    char* url;             // http:// or https://, with port and path
    char* id;              // "": the router id, else the host name
    uint32_t period;       // seconds between positions while moving; 0: 5
    uint32_t period_halt;  // while standing; 0: 60
    char* cafile;          // "": the router's CA bundle
    char* certfile;
    char* keyfile;
    char* username;  // basic authentication when set
    char* password;
    uint32_t timeout;  // seconds a request may take; 0: 10
};

// What the fleet feed sends, and in which dialect over MQTT.
struct FleetSettings {
    uint32_t min_distance;  // metres; 0: off
    uint32_t min_angle;     // degrees; 0: off
    char* mqtt_format;      // "native" (""), "owntracks"
    char* mqtt_tid;         // OwnTracks tracker id; "": from the client id
    uint32_t mqtt_ha_discovery;
    char* mqtt_ha_prefix;  // "": "homeassistant"
};

struct GpsSettings {
    uint32_t enabled;
    uint32_t antenna_input;
    uint32_t antenna_active;
    uint32_t date_fix_enabled;
    uint32_t ep1_enabled;
    uint32_t ep2_enabled;
    uint32_t usbp_enabled;
    uint32_t pty_enabled;
    uint32_t sri_enabled;
    char* router_id;
    RemoteSocketSettings rsock[kRemoteSocketCount];
    uint32_t reset_enabled;
    uint32_t reset_timeout;
    SnmpReportSettings snmp;
    TimeSyncSettings timesync;
    RemoteSocketSettings gpsd;
    uint32_t gpsd_listen_port;
    MqttSettings mqtt;
    char* fleet_user;  // the fleet process's user; "": "gnssd" where it exists, else "nobody"
    StoreSettings store;
    HttpSettings http;
    FleetSettings fleet;
};

inline constexpr const char* kSettingsPath = "/opt/gps/etc/settings";

// What settings_load found wrong with the file; each finding is also logged.
struct SettingsFindings {
    bool missing;     // no file: every key has its default
    bool unreadable;  // a file that could not be opened
    int unknown_keys;
    int bad_numbers;
    int repeated_keys;  // lines of a key given before, ignored
};

// Fills every field from the settings file; a missing file gives defaults.
// Findings are counted in *findings when given.
void settings_load(GpsSettings* settings, SettingsFindings* findings = nullptr);

// What the router's platform (its GPIO platform id) overrules: on the
// platform whose second serial port carries the receiver, that port is no
// output whatever the file says.
void settings_platform(GpsSettings* settings, int platform_id);

// Why an enabled stream cannot run ("no address", "no port", "no period",
// "no halt period"), or nullptr when it can or is not enabled.
const char* settings_stream_fault(const RemoteSocketSettings* stream);

// Writes KEY=VALUE for every key the service reads, with the value in force
// (texts in double quotes; an MQTT key left empty shows the default it
// stands for), in the order settings_load reads them.
void settings_print(const GpsSettings* settings, FILE* out);

// Releases the texts settings_load allocated and sets them to null. The
// service keeps its record until the process ends; this is for tests and for
// an exit that leak checkers look at.
void settings_free(GpsSettings* settings);

// Room for the longest key, "MOD_GPS_SNMP_REPORT_PERIOD_HALT", and its end.
inline constexpr int kSettingsKeySize = 36;

// One key as the settings table describes it.
struct SettingsKey {
    char name[kSettingsKeySize];  // as the file writes it
    bool number;                  // an unsigned 32-bit number, else a text
    // A free text, written in double quotes; a text that holds a number and
    // has a number for default (MOD_GPS_MQTT_QOS) is written bare.
    bool quoted;
    bool stream;      // one of a remote server's keys (MOD_GPS_RSOCKn_*)
    const char* def;  // the default as the example file writes it, unquoted
    // One line on what the key does, its unit and what 0 or empty means;
    // the example file's comment above the key, and in its manual entry.
    const char* help;
};

// Key index (from 0) in the order settings_print writes them, into *key;
// false past the last. The example file, the OpenWrt writer and the manual
// are held against this list by the tests.
bool settings_key(int index, SettingsKey* key);

// Value text of the first line whose key matches (case-insensitive), or
// nullptr. The text lives in a process-wide buffer until the next call.
const char* cfg_find(FILE* file, const char* key);

// Unsigned decimal value of a key ("%u" rules), 0 when absent.
uint32_t cfg_get_uint(FILE* file, const char* key);

// Heap copy of a key's value, "" when absent; never null.
char* cfg_get_str(FILE* file, const char* key);
