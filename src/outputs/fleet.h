// SPDX-License-Identifier: BSD-2-Clause
// The service's side of the fleet feed: the fleet process (gnssd-fleet) is
// started, handed every read over a socket pair and started again when it
// dies; what it reports back is kept for the status report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nmea/report.h"

struct HttpSettings;
struct MqttSettings;
struct ReceiverStats;
struct iovec;

// --- the handoff between the two processes (one datagram each) ----------------

inline constexpr uint32_t kFleetRead = 0x52454144;    // service -> fleet: one read
inline constexpr uint32_t kFleetReport = 0x53544154;  // fleet -> service: its state
// The sentences of one read handed on with it; a longer read keeps its first
// whole sentences (a receive buffer holds 1023 bytes, the identification
// sentences behind its RMCs at most as much again).
inline constexpr std::size_t kFleetNmeaMax = 4096;
// The descriptor the fleet process finds its end of the socket pair on.
inline constexpr int kFleetHandoffFd = 3;

struct FleetRead {
    uint32_t kind;  // kFleetRead
    int32_t moving;
    int64_t at_ms;     // monotonic ms of the read: the fleet process frames cycles by it
    uint64_t dropped;  // reads the service could not hand on so far
    char family[24];   // the module family of the link
    PositionReport report;
    uint32_t nmea_length;  // the read's sentences follow (nothing when the fleet feed takes no NMEA)
};

// What the fleet process tells the service about its MQTT output.
struct MqttStatus {
    char state[16];  // disabled, connecting, connected, waiting
    uint64_t published;
    uint64_t acknowledged;
    uint64_t dropped;
    uint32_t backlog;
    char last_error[192];  // "" for none
};

struct FleetReport {
    uint32_t kind;  // kFleetReport
    MqttStatus mqtt;
    // Further objects of the status report, each `,"name":{...}`, and their
    // lines of the summary for a person; "" for none.
    char json[1024];
    char text[512];
};

// --- the service's side ------------------------------------------------------------

struct FleetHandoff;

// Starts the fleet process when a fleet output is on (nullptr otherwise; a
// setting that keeps it off is logged).
[[nodiscard]] FleetHandoff* fleet_open(const MqttSettings* mqtt, const HttpSettings* http, const char* router_id,
                                       const ReceiverStats* receiver, const char* version);
// One read's sentences and the report they left, from the main loop: copied
// under a lock in time bounded by the sentences, never a system call. While
// the fleet process is away the reads wait in a bounded buffer, the oldest
// dropped (and counted) first.
void fleet_write(FleetHandoff* f, const struct iovec* lines, int count, const PositionReport* report, int moving,
                 long long now_ms);
// Closes the handoff, lets the fleet process save what it holds (SIGTERM,
// at most 2 s) and kills it after that.
void fleet_close(FleetHandoff* f);

// The last report of the fleet process; state "disabled" without one.
// *stale is set when the fleet process has said nothing for a while.
void fleet_status(FleetHandoff* f, FleetReport* out, bool* stale);
