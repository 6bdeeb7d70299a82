// SPDX-License-Identifier: BSD-2-Clause
// The backlog of a remote stream: bursts kept while the server cannot take them.
#pragma once

#include <cstddef>
#include <cstdint>

// The most one stream's backlog holds in burst bytes, whatever number of
// bursts its setting allows: a long outage must not take the router's memory.
inline constexpr uint64_t kBacklogBytes = 8u << 20;

// Bursts kept while a stream cannot deliver them, oldest first. Each costs
// its own bytes: allocated as the queue grows, released as it drains.
struct BurstNode;
struct BurstQueue {
    BurstNode* head;
    BurstNode* tail;
    uint32_t count;
    uint32_t capacity;    // 0: nothing is kept
    uint64_t dropped;     // oldest bursts given up for newer ones
    uint64_t bytes;       // burst bytes held
    uint64_t byte_limit;  // 0: kBacklogBytes
};

// Appends a copy of the burst; a queue full by count or by bytes first drops
// its oldest (counted). False when the burst cannot be kept: no memory, or
// larger than the byte limit on its own (counted as dropped).
bool burst_queue_push(BurstQueue* q, const char* data, std::size_t length);
// Sends up to max bursts oldest first, each through one call of send, which
// returns 0 when it took the whole burst. The burst in the send is out of the
// queue meanwhile, so send may push newer bursts behind it; a burst leaves for
// good only once sent, and the first failure puts it back at the front and
// ends the drain (*failed set). Returns the bursts sent.
int burst_queue_drain(BurstQueue* q, int max, int (*send)(void* ctx, const char* data, std::size_t length), void* ctx,
                      bool* failed);
void burst_queue_clear(BurstQueue* q);
