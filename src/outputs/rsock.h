// SPDX-License-Identifier: BSD-2-Clause
// Remote NMEA streams over TCP or UDP, paced bursts sent by a worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

// One remote NMEA stream (RSOCK1..RSOCK4) or the local gpsd feed, as the
// settings give it; borrowed by the stream for the life of the process.
struct RemoteSocketSettings {
    uint32_t enabled;
    char* ipaddr;       // host name or dotted address; never null after load
    uint32_t protocol;  // 1 = UDP, anything else = TCP
    uint32_t port;
    uint32_t period;       // seconds between bursts while moving, at most a day
    uint32_t period_halt;  // seconds between bursts while halted, at most a day
    uint32_t backlog;      // bursts kept while the server is unreachable (TCP)
};

struct RemoteSocket;

// Largest burst: one receiver output cycle fits many times over.
inline constexpr std::size_t kSocketFrameSize = 65536;

[[nodiscard]] RemoteSocket* rsock_open(const RemoteSocketSettings* settings);
void rsock_write(RemoteSocket* rs, const char* data, std::size_t length, int moving);
void rsock_close(RemoteSocket* rs);

// rsock_write with the time of the write given by the caller, in
// milliseconds of the monotonic clock (rsock_write passes monotonic_ms;
// tests pass their own).
void rsock_write_at(RemoteSocket* rs, const char* data, std::size_t length, int moving, int64_t now_ms);
// At a tick of the stream's worker: the burst being filled is complete once
// its last sentence is more than 0.3 s old (and less than the 2 s that make
// it stale), so that the last burst before a pause, or every burst of a
// receiver slower than the stale limit, still goes. now as for rsock_write_at.
void rsock_tick_at(RemoteSocket* rs, int64_t now_ms);

// Copies the burst being filled (which 0), the latest completed burst waiting
// to be sent (which 1) or the one completed before it, held to go along at
// the same tick (which 2), into buf (up to size bytes) and its moving flag
// into *moving; returns its length, -1 on failure. For inspection only.
int rsock_peek(RemoteSocket* rs, int which, char* buf, std::size_t size, int* moving);

// What a stream's worker is doing, for the status report.
enum class RsockState : int { disabled, resolving, connecting, connected, waiting };

// A snapshot of one stream for the status report.
struct RsockStatus {
    const char* state;  // "disabled" for no instance
    uint64_t bursts_sent;
    uint64_t bytes_sent;
    uint64_t bursts_dropped;  // completed bursts never delivered: skipped + lost
    uint64_t bursts_skipped;  // replaced by a newer one before their turn, or stale
    uint64_t bursts_lost;     // their send failed and no backlog kept them
    uint64_t reconnects;      // connections made after the first
    char last_error[128];     // "" for none
    char address[72];         // server address in use ("[2001:db8::5]:port"), "" when not connected
    uint32_t period;          // as used
    uint32_t period_halt;
    uint32_t backlog;          // bursts held for delivery
    uint64_t backlog_dropped;  // oldest bursts given up for newer ones
};

// Snapshot of an instance (none accepted: state "disabled", counters 0).
RsockStatus rsock_status(RemoteSocket* rs);
