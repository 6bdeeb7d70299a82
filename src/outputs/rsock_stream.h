// SPDX-License-Identifier: BSD-2-Clause
// The record of one remote stream, shared by its writer side and its worker.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "outputs/burst_queue.h"
#include "outputs/rsock.h"
#include "outputs/sock.h"
#include "platform/worker.h"

struct RemoteSocketSettings;

// Room for the text of a stream's last error.
inline constexpr std::size_t kRsockErrorSize = 128;

struct SocketFrame {
    char data[kSocketFrameSize];
    int length;        // 0: empty
    int64_t stamp_ms;  // stream clock (monotonic_ms) at the latest append
    int64_t start_ms;  // the same at the first append
    int moving;
};

struct RemoteSocket;
using RemoteSocketStep = void (*)(RemoteSocket*);

struct RemoteSocket {
    const RemoteSocketSettings* settings;
    pthread_mutex_t lock;
    int lock_ready;
    Worker worker;
    char name[96];          // "host:port" ("[v6 literal]:port"), for the log
    bool literal;           // the host is an address, not a name
    std::size_t burst_max;  // what one send can carry: a frame over TCP, a datagram over UDP
    uint32_t period;        // clamped settings
    uint32_t period_halt;
    // Worker only.
    RemoteSocketStep step;
    Fd sock;
    int countdown;
    long long next_tick;      // monotonic ms
    std::size_t discarded;    // inbound bytes thrown away this tick
    uint64_t handed;          // bytes given to the connection
    uint64_t acked_seen;      // of those, taken by the server at the last look
    long long last_progress;  // monotonic ms
    bool connected_once;
    char logged_address[kSockAddrText];  // worker only: the address last named in the log
    // Worker only: the run of failed sends for one reason, logged when it began.
    char send_error_text[kRsockErrorSize];
    char send_error_where[32];
    uint64_t send_error_run;
    int send_ok_streak;  // sends that went since the last failed one
    // Worker only: bursts kept for a server that cannot take them (TCP with
    // a backlog setting only).
    bool keep;
    BurstQueue backlog;
    long long backlog_logged;  // monotonic ms of the last "backlog full", 0: never
    int flush_error;           // errno of the failed send of a flush
    // Worker only: bursts taken beyond one per due tick (negative: due ticks
    // that found nothing), kAheadMin at the least.
    int ahead;
    // Guarded by lock: the writer's frames. A completed burst waits in
    // pending; the one completed before it waits in earlier when it is due
    // as well (one burst per tick), to go at the same tick.
    SocketFrame* current;
    SocketFrame* pending;
    SocketFrame* earlier;
    RsockState state;
    uint64_t bursts_sent;
    uint64_t bytes_sent;
    uint64_t bursts_skipped;  // replaced before their turn, or gone stale: by design
    uint64_t bursts_lost;     // a send failed and nothing kept them
    uint64_t reconnects;
    char last_error[kRsockErrorSize];  // "" for none
    char address[kSockAddrText];       // of the server in the last connection made
    uint32_t backlog_count;            // copies of the worker's backlog figures
    uint64_t backlog_dropped;
    // Worker only: the burst in a send, and one taken for the backlog while
    // a send waits. Frames change hands with the writer's by pointer.
    SocketFrame* outgoing;
    SocketFrame* parked;
    SocketFrame frames[5];
};

// rsock_tick_at on the stream clock.
void rsock_tick(RemoteSocket* rs);
