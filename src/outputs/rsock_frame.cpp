// SPDX-License-Identifier: BSD-2-Clause
// Remote streams, the writer side: the main loop's writes framed into bursts.
#include "outputs/rsock.h"
#include "outputs/rsock_stream.h"

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"

namespace {

// Silence up to which a write still belongs to the burst being filled (one
// receiver output cycle), and from which a held burst is too old to send.
constexpr int64_t kJoinGapMs = 300;
constexpr int64_t kStaleGapMs = 2000;
// A burst that has been collecting this long is complete even without a
// pause: a receiver faster than about 3 Hz never leaves one.
constexpr int64_t kBurstAgeMs = 1000;

// A period of this or less sends at every tick, so that every completed
// burst of a receiver no faster than the tick is due.
constexpr uint32_t kEveryTickPeriod = 2;

// The burst being filled is complete: it waits for the next due tick. At a
// pace of one burst per tick every completed burst is due, so the one still
// waiting is held to go along with it (the oldest of three is dropped);
// slower paces send only the latest, and the waiting one is replaced.
void rsock_promote(RemoteSocket* rs)
{
    if (rs->pending->length > 0) {
        const uint32_t period = rs->pending->moving ? rs->period : rs->period_halt;
        if (period <= kEveryTickPeriod) {
            if (rs->earlier->length > 0)
                rs->bursts_skipped += 1;
            std::swap(rs->earlier, rs->pending);
        } else {
            rs->bursts_skipped += 1;
        }
    }
    std::swap(rs->pending, rs->current);
    rs->current->length = 0;
}

void rsock_write_exec(RemoteSocket* rs, const char* data, std::size_t length, int moving, int64_t now_ms)
{
    SocketFrame* cur = rs->current;
    if (cur->length > 0) {
        // A clock set back joins, as a short gap does.
        const int64_t gap = now_ms - cur->stamp_ms;
        if (gap <= kJoinGapMs) {
            const bool fits = static_cast<std::size_t>(cur->length) + length <= rs->burst_max;
            if (fits && now_ms - cur->start_ms < kBurstAgeMs) {
                std::memcpy(cur->data + cur->length, data, length);
                cur->length += static_cast<int>(length);
                cur->stamp_ms = now_ms;
                cur->moving = moving;
                return;
            }
            // Collecting for a second, or full: the burst is complete, and
            // the data starts the next one.
            rsock_promote(rs);
        } else if (gap < kStaleGapMs) {
            rsock_promote(rs);
        } else {
            rs->bursts_skipped += 1;
        }
        cur = rs->current;
        cur->length = 0;
    }
    if (length > rs->burst_max) {
        // Larger than any burst: dropped rather than cut.
        log_msg(LOG_ERR, "%s - oops, buffer is full (%s)", "rsock_write_exec", rs->name);
        return;
    }
    std::memcpy(cur->data, data, length);
    cur->length = static_cast<int>(length);
    cur->stamp_ms = now_ms;
    cur->start_ms = now_ms;
    cur->moving = moving;
}

}  // namespace

void rsock_tick_at(RemoteSocket* rs, int64_t now_ms)
{
    if (!rs || pthread_mutex_lock(&rs->lock) != 0)
        return;
    if (rs->current->length > 0) {
        const int64_t gap = now_ms - rs->current->stamp_ms;
        if (gap > kJoinGapMs && gap < kStaleGapMs)
            rsock_promote(rs);
    }
    pthread_mutex_unlock(&rs->lock);
}

void rsock_tick(RemoteSocket* rs)
{
    rsock_tick_at(rs, monotonic_ms());
}

void rsock_write_at(RemoteSocket* rs, const char* data, std::size_t length, int moving, int64_t now_ms)
{
    if (!rs || !data || length == 0)
        return;
    int e = pthread_mutex_lock(&rs->lock);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot lock mutex (%i)", "rsock_write", e);
        return;
    }
    rsock_write_exec(rs, data, length, moving, now_ms);
    e = pthread_mutex_unlock(&rs->lock);
    if (e != 0)
        log_msg(LOG_ERR, "%s - cannot unlock mutex (%i)", "rsock_write", e);
}

void rsock_write(RemoteSocket* rs, const char* data, std::size_t length, int moving)
{
    if (!rs || !data || length == 0)
        return;
    rsock_write_at(rs, data, length, moving, monotonic_ms());
}

int rsock_peek(RemoteSocket* rs, int which, char* buf, std::size_t size, int* moving)
{
    if (!rs || pthread_mutex_lock(&rs->lock) != 0)
        return -1;
    const SocketFrame* f = which == 0 ? rs->current : which == 1 ? rs->pending : rs->earlier;
    const int length = f->length;
    if (buf && size > 0)
        std::memcpy(buf, f->data, static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size);
    if (moving)
        *moving = f->moving;
    pthread_mutex_unlock(&rs->lock);
    return length;
}
