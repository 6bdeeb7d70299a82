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

// Value text of the first line whose key matches (case-insensitive), or
// nullptr. The text lives in a process-wide buffer until the next call.
const char* cfg_find(FILE* file, const char* key);

// Unsigned decimal value of a key ("%u" rules), 0 when absent.
uint32_t cfg_get_uint(FILE* file, const char* key);

// Heap copy of a key's value, "" when absent; never null.
char* cfg_get_str(FILE* file, const char* key);
