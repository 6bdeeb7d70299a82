// SPDX-License-Identifier: BSD-2-Clause
// The control shell's "status" command: what the receiver and the remote streams are doing.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

struct PositionReport;
struct ReceiverLink;
struct RemoteSocket;
struct RemoteSocketSettings;
struct MqttSettings;
struct FleetHandoff;

// What the main loop tells the status report about the receiver. The
// counters are written by the main thread alone and read by the shell's
// thread without a lock; the two texts change only when a link opens.
struct ReceiverStats {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards family and port
    char family[24];
    char port[64];
    uint32_t sentences;     // atomic access only
    int64_t last_sentence;  // monotonic_ms + 1; 0 = never (atomic)
    int64_t last_fix;       // likewise, for a sentence that carried a fix
    // The last position with a fix, as received; guarded by lock.
    char fix_time[12];  // "" for none yet
    char latitude[14];
    char lat_hemisphere[2];
    char longitude[14];
    char lon_hemisphere[2];
    char fix_quality[4];  // of the last GGA or GNS; "" when only RMC said so
};

// Length of the well-formed UTF-8 character at s (1 to 4 bytes), 0 when
// the bytes there are not one.
std::size_t utf8_length(const unsigned char* s);

// At every link open (null: none open).
void receiver_stats_link(ReceiverStats* stats, const ReceiverLink* link);
// After every sentence handed on, with the report it left.
void receiver_stats_sentence(ReceiverStats* stats, const char* data, std::size_t length, const PositionReport* report);

// The context of "status": the four remote streams and the gpsd feed in
// that order, with the settings each was opened from.
inline constexpr int kStatusStreams = 5;
struct StatusSources {
    const RemoteSocketSettings* settings[kStatusStreams];
    RemoteSocket* const* sockets;  // kStatusStreams handles, each may be null
    ReceiverStats* receiver;
    const char* version;                // nullptr: not reported
    long long started_ms;               // monotonic_ms at start-up
    const MqttSettings* mqtt_settings;  // nullptr: reported as disabled
    FleetHandoff* fleet;                // nullptr when the fleet feed is off
};

// Control-shell handler: one line holding one JSON object; with the
// argument "text", a short summary for a person instead.
extern "C" int shell_status(void* sources, const char* args, int fd);
// Writes the JSON line into buf; returns its length (cut to size - 1).
std::size_t shell_status_text(const StatusSources* sources, char* buf, std::size_t size);
// Writes the summary for a person into buf, likewise.
std::size_t shell_status_summary(const StatusSources* sources, char* buf, std::size_t size);
