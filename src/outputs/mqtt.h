// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed: positions, NMEA and the daemon's presence published to an
// MQTT broker by a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>

struct ReceiverStats;
struct iovec;

// The MOD_GPS_MQTT_* keys. Texts are never null after settings_load; the
// numbers whose 0 means something (QoS, backlog) are kept as texts so that
// an absent key can take its default.
struct MqttSettings {
    uint32_t enabled;
    char* host;
    uint32_t port;  // 0: 1883, or 8883 with TLS
    uint32_t tls;
    char* cafile;  // "": the router's CA bundle
    char* certfile;
    char* keyfile;
    char* username;
    char* password;
    char* client_id;       // "": the router id, else the host name
    char* topic;           // "": "gnss/" + client id
    uint32_t period;       // seconds between positions while moving; 0: 5
    uint32_t period_halt;  // while standing; 0: 60
    char* qos;             // "0" or "1"; "": 1
    char* backlog;         // positions kept while the broker is away; "": 3600
    uint32_t nmea;
};

// Settings with every default filled in, as the output uses them.
struct MqttConfig {
    char host[256];
    uint32_t port;
    bool tls;
    char cafile[256];
    char client_id[128];
    char topic[192];  // the prefix, without a trailing '/'
    uint32_t period;
    uint32_t period_halt;
    int qos;
    uint32_t backlog;
    bool nmea;
};

inline constexpr const char* kMqttCaFile = "/etc/ssl/certs/ca-certificates.crt";
inline constexpr uint32_t kMqttBacklogDefault = 3600;

// Fills config from settings; router_id and host_name stand in for an
// empty client id in that order. False (and why in *fault) when the output
// cannot run: not enabled, no host, a value that would reach the broker
// changed (cut, not UTF-8) or mean something else, or MQTT not built in.
bool mqtt_config(const MqttSettings* settings, const char* router_id, const char* host_name, MqttConfig* config,
                 const char** fault);
