// SPDX-License-Identifier: BSD-2-Clause
// Remote NMEA streams: bursts framed by the main loop, paced and sent by one worker per server.
//
// The worker never blocks where rsock_close cannot reach it. Every wait it
// makes (connect, the one-second tick, a send to a server that stopped
// reading, the pauses between attempts, a name lookup) is a poll that also
// watches the instance's stop descriptor, so rsock_close only has to raise the
// stop flag, signal the descriptor and join. Thread cancellation is not used:
// it cannot safely interrupt the resolver library, and a cancelled C++ frame
// built without exceptions is not unwound reliably.
//
// Name lookups can take many seconds and cannot be interrupted, so they run
// in a detached helper thread (platform/lookup) that shares only a small
// reference-counted record with the worker; a worker told to stop walks away
// and the helper frees the record when its lookup returns.
//
// The main loop must never wait for the network: the writer's frames and the
// worker's are exchanged by pointer under the lock, and the worker sends
// after releasing it, so a writer waits for no copy and no send.
//
// Every duration here (the gaps that frame a burst, the one-second tick, the
// stall limit) is measured on the monotonic clock: the time synchronisation
// steps the wall clock, and a step must neither hold a burst open nor drop
// one. Whatever a server sends is read and thrown away without moving the
// tick, and a server that sends a flood gets only a bounded amount read per
// tick.
#include "outputs/rsock.h"
#include "outputs/rsock_stream.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "platform/worker.h"
#include "outputs/sock.h"
#include "platform/clock.h"
#include "platform/lookup.h"
#include "platform/platform.h"
#include "platform/log.h"

namespace {

// The most one UDP datagram carries over IPv4 (65535 less the IP and UDP
// headers): a UDP stream's burst completes before it grows past this, where a
// larger one could not be sent at all.
constexpr std::size_t kDatagramMax = 65507;

// Pauses of the worker, in milliseconds.
constexpr int kTickMs = 1000;
constexpr int kRetryMs = 10000;
constexpr int kFailPauseMs = 1000;

// Bytes read and thrown away per readable event of a TCP server, and at most
// per tick: a server that floods the connection is left unread until the
// next tick rather than keeping the worker busy.
constexpr std::size_t kDiscardSize = 1500;
constexpr std::size_t kDiscardPerTick = 65536;

// TCP keepalive idle time: twice the halted pace, but never below 10 s nor
// above what the kernel accepts.
constexpr uint32_t kKeepaliveMinHalt = 4;
constexpr unsigned kKeepaliveIdleMin = 10;
constexpr unsigned kKeepaliveIdleMax = 32767;

// Data handed to a connection that makes no progress for this long (or the
// longer period) means the server stopped reading.
constexpr long long kStallMs = 30000;

// A backlog drains faster than live, but in steps that leave the worker free
// to notice a stop or a broken connection.
constexpr int kFlushPerTick = 20;
// A full backlog is reported at most this often.
constexpr long long kBacklogLogMs = 60000;

// How far the bursts sent may fall behind the due ticks (ticks that found
// nothing to send): the credit that lets two bursts completed within one tick
// both go, bounded so that a pause in the flow earns no flood.
constexpr int kAheadMin = -2;
}  // namespace

static_assert(sizeof(RsockStatus{}.address) >= kSockAddrText, "the status report holds every address text");

namespace {

// Records the worker's state, and the error that led to it when there is one.
void set_state(RemoteSocket* rs, RsockState state, const char* error = nullptr)
{
    if (pthread_mutex_lock(&rs->lock) != 0)
        return;
    rs->state = state;
    if (error)
        std::snprintf(rs->last_error, sizeof rs->last_error, "%s", error);
    pthread_mutex_unlock(&rs->lock);
}

// Logs a failure of this stream with its name behind the message, and keeps
// the error text for the status report.
void stream_error(RemoteSocket* rs, RsockState next, const char* where, const char* what, const char* detail)
{
    log_msg(LOG_ERR, "%s - %s: %s (%s)", where, what, detail, rs->name);
    char text[kRsockErrorSize];
    std::snprintf(text, sizeof text, "%s: %s", what, detail);
    set_state(rs, next, text);
}

// A run of failed sends for one reason is logged once, when it begins, and
// counted: a UDP server whose port is closed refuses every other datagram
// (a new socket learns of the refusal only from its first one), once a tick,
// for as long as it stays away. The count is logged when the reason changes
// or two sends in a row have gone.
constexpr int kSendRunEndSends = 2;

void send_run_end(RemoteSocket* rs)
{
    if (rs->send_error_run > 1)
        log_msg(LOG_NOTICE, "%s - %s, %llu times in a row (%s)", rs->send_error_where, rs->send_error_text,
                static_cast<unsigned long long>(rs->send_error_run), rs->name);
    rs->send_error_run = 0;
    rs->send_error_text[0] = '\0';
}

void send_went(RemoteSocket* rs)
{
    if (rs->send_error_run > 0 && ++rs->send_ok_streak >= kSendRunEndSends)
        send_run_end(rs);
}

void send_failed(RemoteSocket* rs, const char* where, int err)
{
    char text[kRsockErrorSize];
    std::snprintf(text, sizeof text, "socket send error: %s", strerror(err));
    rs->send_ok_streak = 0;
    if (rs->send_error_run > 0 && std::strcmp(text, rs->send_error_text) == 0 &&
        std::strcmp(where, rs->send_error_where) == 0) {
        rs->send_error_run += 1;
        set_state(rs, RsockState::waiting, text);
        return;
    }
    send_run_end(rs);
    stream_error(rs, RsockState::waiting, where, "socket send error", strerror(err));
    std::snprintf(rs->send_error_text, sizeof rs->send_error_text, "%s", text);
    std::snprintf(rs->send_error_where, sizeof rs->send_error_where, "%s", where);
    rs->send_error_run = 1;
}

// Waits for one event of fd (or only the stop, fd -1); see worker_poll.
int rsock_poll(RemoteSocket* rs, int fd, short events, int timeout_ms, short* revents)
{
    pollfd p{fd, events, 0};
    const int r = worker_poll(&rs->worker, &p, fd >= 0 ? 1 : 0, timeout_ms);
    if (r > 0 && revents)
        *revents = p.revents;
    return r;
}

bool rsock_offline_tick(RemoteSocket* rs);
void rsock_publish_backlog(RemoteSocket* rs);

// The next tick of the one-second clock; a tick made late by a long wait
// starts the count afresh.
void rsock_advance_tick(RemoteSocket* rs, long long now)
{
    rs->next_tick += kTickMs;
    if (rs->next_tick <= now)
        rs->next_tick = now + kTickMs;
}

// rsock_poll for every wait but the tick's own: lookup, connect, pauses, and
// a send to a slow server. A stream that keeps a backlog goes on ticking
// meanwhile, so the bursts that fall due are stored at their pace behind the
// ones still to go, never replaced by one another.
int rsock_wait(RemoteSocket* rs, int fd, short events, int timeout_ms, short* revents)
{
    if (!rs->keep)
        return rsock_poll(rs, fd, events, timeout_ms, revents);
    const long long end = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
    for (;;) {
        long long now = monotonic_ms();
        if (now >= rs->next_tick) {
            if (rsock_offline_tick(rs))
                rsock_publish_backlog(rs);
            rsock_advance_tick(rs, now);
            continue;
        }
        long long until = rs->next_tick;
        if (end >= 0 && end < until)
            until = end;
        const int r = rsock_poll(rs, fd, events, static_cast<int>(until - now), revents);
        if (r != 0)
            return r;
        if (end >= 0 && monotonic_ms() >= end)
            return 0;
    }
}

// Sleeps without the lock; false when the worker is to stop.
bool rsock_sleep(RemoteSocket* rs, int ms)
{
    return rsock_wait(rs, -1, 0, ms, nullptr) == 0;
}

// --- resolution ------------------------------------------------------------

int lookup_addresses(const char* name, unsigned port, int type, void* out)
{
    return sock_lookup(name, port, type, static_cast<SockAddrList*>(out));
}

// Addresses of the server for one connect attempt, looked up anew every
// time so that a changed name or resolver configuration is followed. 1 with
// the addresses, 0 when the name gave no usable address (warned, and the
// attempt counts as a failed connect: 0.0.0.0 or :: would reach this very
// router), -2 when the worker is to stop.
int rsock_resolve(RemoteSocket* rs, SockAddrList* list)
{
    const char* name = rs->settings->ipaddr;
    const unsigned port = rs->settings->port;
    const int type = rs->settings->protocol == 1 ? SOCK_DGRAM : SOCK_STREAM;
    int result;
    if (sock_lookup_numeric(name, port, type, list) == 0) {
        result = 0;
    } else {
        set_state(rs, RsockState::resolving);
        NameLookup* l = lookup_start(name, port, type, lookup_addresses, sizeof *list);
        if (!l) {
            // No helper to be had: look up in place; only the stop is delayed.
            result = sock_lookup(name, port, type, list);
        } else {
            int r = rsock_wait(rs, lookup_fd(l), POLLIN, -1, nullptr);
            if (r == -2) {
                lookup_release(l);
                return -2;
            }
            // Cannot wait for the helper: count it as a failed lookup.
            list->count = 0;
            result = r < 0 ? -1 : lookup_answer(l, list);
            lookup_release(l);
        }
        if (result < 0)
            log_msg(LOG_WARNING, "error resolving hostname %s", name);
    }
    if (result != 0 || list->count == 0) {
        list->count = 0;
        set_state(rs, RsockState::waiting, "no address for the server");
        return 0;
    }
    return 1;
}

// --- sending -----------------------------------------------------------------

// The longest a connection may hold data without the server taking any.
long long stall_limit_ms(const RemoteSocket* rs)
{
    const uint32_t period = rs->period > rs->period_halt ? rs->period : rs->period_halt;
    const long long ms = static_cast<long long>(period) * 1000;
    return ms > kStallMs ? ms : kStallMs;
}

// True while data handed to the connection moves on; false once the server
// has taken none of it for the stall limit.
bool rsock_progressing(RemoteSocket* rs, long long now)
{
    int queued = 0;
    if (ioctl(rs->sock.get(), SIOCOUTQ, &queued) != 0 || queued <= 0) {
        rs->acked_seen = rs->handed;
        rs->last_progress = now;
        return true;
    }
    const uint64_t acked = rs->handed - static_cast<uint64_t>(queued);
    if (acked != rs->acked_seen) {
        rs->acked_seen = acked;
        rs->last_progress = now;
        return true;
    }
    return now - rs->last_progress < stall_limit_ms(rs);
}

// Sends the whole burst as one blocking send would, without a broken-pipe
// signal. Returns 0 when every byte went, -2 when stopped, -1 with errno set
// (ETIMEDOUT: the server took nothing for the stall limit).
int rsock_send_all(RemoteSocket* rs, const char* data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = send(rs->sock.get(), data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            // Only what the server takes is progress; the kernel's buffer
            // may hold megabytes.
            rs->handed += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const long long now = monotonic_ms();
            if (!rsock_progressing(rs, now)) {
                errno = ETIMEDOUT;
                return -1;
            }
            const long long left = rs->last_progress + stall_limit_ms(rs) - now;
            short revents = 0;
            int r = rsock_wait(rs, rs->sock.get(), POLLOUT, static_cast<int>(left > 0 ? left : 0), &revents);
            if (r == -2)
                return -2;
            if (r < 0)
                return -1;
            continue;  // an error on the socket shows in the next send
        }
        if (n == 0)
            errno = EIO;
        return -1;
    }
    return 0;
}

// Gives up the connection after a failure; the next step connects again.
void rsock_drop(RemoteSocket* rs)
{
    sock_close(rs->sock.release());
}

// The next burst is due period - 1 ticks after this one, by its moving flag.
void rsock_pace(RemoteSocket* rs, int moving)
{
    const uint32_t period = moving ? rs->period : rs->period_halt;
    rs->countdown = static_cast<int>(period) - 1;
}

// At a due tick: how many of the held bursts go now. The latest always; the
// one completed before it as well unless the stream is already a burst ahead
// of its due ticks (a receiver faster than the pace), in which case that one
// is dropped as a replaced burst.
int rsock_due(RemoteSocket* rs, const char* lock_name)
{
    rs->ahead = rs->ahead > kAheadMin ? rs->ahead - 1 : kAheadMin;
    int e = pthread_mutex_lock(&rs->lock);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot lock mutex (%i)", lock_name, e);
        return 0;
    }
    if (rs->earlier->length > 0 && rs->ahead >= 0) {
        rs->earlier->length = 0;
        rs->bursts_skipped += 1;
    }
    const int held = (rs->earlier->length > 0 ? 1 : 0) + (rs->pending->length > 0 ? 1 : 0);
    e = pthread_mutex_unlock(&rs->lock);
    if (e != 0)
        log_msg(LOG_ERR, "%s - cannot unlock mutex (%i)", lock_name, e);
    return held;
}

// Moves the oldest held burst into the worker's frame *into, leaving that
// frame, emptied, to the writer, and sets the pace that follows it. Returns
// its length (0: none was held).
int rsock_take(RemoteSocket* rs, const char* lock_name, SocketFrame** into)
{
    (*into)->length = 0;
    int e = pthread_mutex_lock(&rs->lock);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot lock mutex (%i)", lock_name, e);
        return 0;
    }
    SocketFrame** from = rs->earlier->length > 0 ? &rs->earlier : &rs->pending;
    if ((*from)->length > 0)
        std::swap(*from, *into);
    e = pthread_mutex_unlock(&rs->lock);
    if (e != 0)
        log_msg(LOG_ERR, "%s - cannot unlock mutex (%i)", lock_name, e);
    if ((*into)->length > 0) {
        rsock_pace(rs, (*into)->moving);
        rs->ahead += 1;
    }
    return (*into)->length;
}

// Copies the backlog's figures where the status report reads them.
void rsock_publish_backlog(RemoteSocket* rs)
{
    if (pthread_mutex_lock(&rs->lock) != 0)
        return;
    rs->backlog_count = rs->backlog.count;
    rs->backlog_dropped = rs->backlog.dropped;
    pthread_mutex_unlock(&rs->lock);
}

// Keeps a burst at the end of the backlog.
void rsock_keep(RemoteSocket* rs, const char* data, std::size_t length)
{
    const uint64_t before = rs->backlog.dropped;
    burst_queue_push(&rs->backlog, data, length);
    if (rs->backlog.dropped != before) {
        const long long now = monotonic_ms();
        if (rs->backlog_logged == 0 || now - rs->backlog_logged >= kBacklogLogMs) {
            log_msg(LOG_WARNING, "%s - backlog full, oldest bursts dropped: %llu (%s)", "rsock_backlog",
                    static_cast<unsigned long long>(rs->backlog.dropped), rs->name);
            rs->backlog_logged = now;
        }
    }
}

// A tick of a stream that keeps a backlog: every burst that falls due joins
// the backlog's tail, whether or not the connection can take it now. True
// when one did (the caller publishes the figures).
bool rsock_offline_tick(RemoteSocket* rs)
{
    rsock_tick(rs);
    if (--rs->countdown > 0)
        return false;
    bool kept = false;
    for (int n = rsock_due(rs, "rsock_backlog"); n > 0; --n) {
        if (rsock_take(rs, "rsock_backlog", &rs->parked) <= 0)
            break;
        rsock_keep(rs, rs->parked->data, static_cast<std::size_t>(rs->parked->length));
        rs->parked->length = 0;
        kept = true;
    }
    return kept;
}

// Counts a burst the connection took.
void rsock_count_sent(RemoteSocket* rs, std::size_t length)
{
    if (pthread_mutex_lock(&rs->lock) != 0)
        return;
    rs->bursts_sent += 1;
    rs->bytes_sent += static_cast<uint64_t>(length);
    pthread_mutex_unlock(&rs->lock);
}

int rsock_flush_send(void* ctx, const char* data, std::size_t length)
{
    RemoteSocket* rs = static_cast<RemoteSocket*>(ctx);
    const int r = rsock_send_all(rs, data, length);
    if (r == 0) {
        rsock_count_sent(rs, length);
        send_went(rs);
        return 0;
    }
    rs->flush_error = r == -2 ? 0 : errno;
    return -1;
}

// Sends part of the backlog, oldest first. Returns -1 after a failed send
// (socket closed; the burst stays in the backlog), 0 otherwise.
int rsock_flush(RemoteSocket* rs, const char* send_name)
{
    bool failed = false;
    rs->flush_error = 0;
    burst_queue_drain(&rs->backlog, kFlushPerTick, rsock_flush_send, rs, &failed);
    rsock_publish_backlog(rs);
    if (!failed || rs->flush_error == 0)
        return 0;  // done, or stopped
    send_failed(rs, send_name, rs->flush_error);
    rsock_drop(rs);
    return -1;
}

// One tick of a stream without a backlog: at a due tick the held bursts go,
// oldest first. Returns -1 after a failed send (socket closed; the burst is
// lost), 0 otherwise.
int rsock_send_due(RemoteSocket* rs, const char* lock_name, const char* send_name)
{
    rsock_tick(rs);
    if (--rs->countdown > 0)
        return 0;
    for (int n = rsock_due(rs, lock_name); n > 0; --n) {
        if (rsock_take(rs, lock_name, &rs->outgoing) <= 0)
            return 0;
        SocketFrame* out = rs->outgoing;
        const int r = rsock_send_all(rs, out->data, static_cast<std::size_t>(out->length));
        const int saved = errno;
        const int sent = out->length;
        out->length = 0;
        if (r == -2)
            return 0;
        if (r == 0) {
            rsock_count_sent(rs, static_cast<std::size_t>(sent));
            send_went(rs);
            continue;
        }
        if (pthread_mutex_lock(&rs->lock) == 0) {
            rs->bursts_lost += 1;
            pthread_mutex_unlock(&rs->lock);
        }
        send_failed(rs, send_name, saved);
        rsock_drop(rs);
        return -1;
    }
    return 0;
}

// --- the four steps ----------------------------------------------------------

void rsock_tcp_connect(RemoteSocket* rs);
void rsock_tcp_exec(RemoteSocket* rs);
void rsock_udp_connect(RemoteSocket* rs);
void rsock_udp_exec(RemoteSocket* rs);

// A connection is up: the first burst goes at the first tick. A stream that
// keeps a backlog has ticked all along and keeps its pace and phase: starting
// the tick afresh would leave up to two seconds between due ticks.
void rsock_connected(RemoteSocket* rs, int sock, RemoteSocketStep exec)
{
    rs->sock.reset(sock);
    if (!rs->keep) {
        rs->countdown = 1;
        rs->next_tick = monotonic_ms() + kTickMs;
        rs->ahead = 0;
    }
    rs->discarded = 0;
    rs->handed = 0;
    rs->acked_seen = 0;
    rs->last_progress = monotonic_ms();
    rs->step = exec;
    if (pthread_mutex_lock(&rs->lock) == 0) {
        rs->state = RsockState::connected;
        rs->reconnects += rs->connected_once ? 1 : 0;
        // Without a backlog nothing was due while away: only the latest
        // burst goes at the first tick.
        if (!rs->keep && rs->earlier->length > 0) {
            rs->earlier->length = 0;
            rs->bursts_skipped += 1;
        }
        pthread_mutex_unlock(&rs->lock);
    }
    rs->connected_once = true;
}

// The wait for a TCP connect in progress, ticking like every other wait.
int rsock_connect_wait(void* ctx, int sock, int timeout_ms)
{
    const int r = rsock_wait(static_cast<RemoteSocket*>(ctx), sock, POLLOUT, timeout_ms, nullptr);
    if (r == 0)
        errno = ETIMEDOUT;
    return r == -2 ? 0 : r <= 0 ? -1 : 1;
}

// The server's addresses for the next connect attempt. false: there are
// none, either because the stream stops or because the lookup failed, which
// counts as a failed attempt and has already paused until the next one.
bool rsock_target(RemoteSocket* rs, SockAddrList* list)
{
    const int found = rsock_resolve(rs, list);
    if (found == 0)
        rsock_sleep(rs, kRetryMs);
    return found > 0;
}

// A connect attempt that failed: the reason goes into the status, the next
// attempt comes after the retry pause.
void rsock_connect_failed(RemoteSocket* rs, const char* error)
{
    set_state(rs, RsockState::waiting, error[0] ? error : nullptr);
    rsock_sleep(rs, kRetryMs);
}

// Which address of the server a new connection uses: kept for the status
// report, and logged when a name leads somewhere else than last time (an
// address in the settings names itself in every message already).
void rsock_using(RemoteSocket* rs, const SockAddr* addr, const char* where)
{
    char text[kSockAddrText];
    sock_addr_text(addr, text, sizeof text);
    if (pthread_mutex_lock(&rs->lock) == 0) {
        std::snprintf(rs->address, sizeof rs->address, "%s", text);
        pthread_mutex_unlock(&rs->lock);
    }
    if (!rs->literal && std::strcmp(text, rs->logged_address) != 0) {
        log_msg(LOG_INFO, "%s - connected to %s (%s)", where, text, rs->name);
        std::snprintf(rs->logged_address, sizeof rs->logged_address, "%s", text);
    }
}

void rsock_tcp_connect(RemoteSocket* rs)
{
    SockAddrList list;
    if (!rsock_target(rs, &list))
        return;
    set_state(rs, RsockState::connecting);
    char error[kRsockErrorSize] = "";
    int used = 0;
    int sock = sock_tcp_connect_with(&list, rsock_connect_wait, rs, rs->name, error, sizeof error, &used);
    if (sock < 0) {
        rsock_connect_failed(rs, error);
        return;
    }
    const uint32_t halt = rs->period_halt;
    unsigned idle = halt > kKeepaliveMinHalt ? 2 * halt : kKeepaliveIdleMin;
    sock_keepalive(sock, idle < kKeepaliveIdleMax ? idle : kKeepaliveIdleMax);
    rsock_using(rs, &list.addr[used], "rsock_tcp_connect");
    rsock_connected(rs, sock, rsock_tcp_exec);
}

// After a TCP failure: connect again after a pause of one second.
void rsock_tcp_fail(RemoteSocket* rs)
{
    rsock_drop(rs);
    rs->step = rsock_tcp_connect;
    rsock_sleep(rs, kFailPauseMs);
}

// The server sent something or closed: read and discard. The connection is
// given up when it closed or the read failed.
void rsock_tcp_socket_exec(RemoteSocket* rs)
{
    char discard[kDiscardSize];
    ssize_t n = recv(rs->sock.get(), discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0) {
        rs->discarded += static_cast<std::size_t>(n);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n < 0)
        stream_error(rs, RsockState::waiting, "rsock_tcp_socket_exec", "socket recv error", strerror(errno));
    else
        set_state(rs, RsockState::waiting, "closed by the server");
    rsock_tcp_fail(rs);
}

void rsock_tcp_exec(RemoteSocket* rs)
{
    long long now = monotonic_ms();
    const long long wait = rs->next_tick - now;
    // Past the read allowance of this tick only errors and hang-ups are
    // waited for.
    const short events = rs->discarded < kDiscardPerTick ? POLLIN : 0;
    short revents = 0;
    int r = rsock_poll(rs, rs->sock.get(), events, static_cast<int>(wait > 0 ? wait : 0), &revents);
    if (r == -2)
        return;
    if (r < 0) {
        log_msg(LOG_ERR, "%s - select error: %s (%s)", "rsock_tcp_exec", strerror(errno), rs->name);
        rsock_sleep(rs, kFailPauseMs);
        return;
    }
    if (r > 0) {
        rsock_tcp_socket_exec(rs);
        return;
    }
    // One tick. A tick made late by a long send starts the count afresh.
    now = monotonic_ms();
    rsock_advance_tick(rs, now);
    rs->discarded = 0;
    if (!rsock_progressing(rs, now)) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "no progress for %lld s", stall_limit_ms(rs) / 1000);
        stream_error(rs, RsockState::waiting, "rsock_tcp_exec", "server stopped reading", detail);
        rsock_tcp_fail(rs);
        return;
    }
    // With a backlog every due burst goes through it, behind what is still
    // kept, and stays there until a send has taken all of it.
    int r_send;
    if (rs->keep) {
        rsock_offline_tick(rs);
        r_send = rsock_flush(rs, "rsock_tcp_send_exec");
    } else {
        r_send = rsock_send_due(rs, "rsock_tcp_send_test", "rsock_tcp_send_exec");
    }
    if (r_send < 0) {
        rs->step = rsock_tcp_connect;
        rsock_sleep(rs, kFailPauseMs);
    }
}

void rsock_udp_connect(RemoteSocket* rs)
{
    SockAddrList list;
    if (!rsock_target(rs, &list))
        return;
    char error[kRsockErrorSize] = "";
    int used = 0;
    int sock = sock_udp_connect_nonblock(&list, rs->name, error, sizeof error, &used);
    if (sock < 0) {
        rsock_connect_failed(rs, error);
        return;
    }
    rsock_using(rs, &list.addr[used], "rsock_udp_connect");
    rsock_connected(rs, sock, rsock_udp_exec);
}

void rsock_udp_exec(RemoteSocket* rs)
{
    if (!rsock_sleep(rs, kTickMs))
        return;
    if (rsock_send_due(rs, "rsock_udp_exec", "rsock_udp_send_exec") < 0)
        rs->step = rsock_udp_connect;
}

void* rsock_main(void* arg)
{
    RemoteSocket* rs = static_cast<RemoteSocket*>(arg);
    while (!worker_stopping(&rs->worker))
        rs->step(rs);
    return nullptr;
}

// Tears down whatever rsock_open got to build. False when the worker could
// not be awaited, in which case the record is left to it.
bool rsock_destroy(RemoteSocket* rs)
{
    int e = worker_stop(&rs->worker);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot terminate thread (%i)", "rsock_close", e);
        return false;
    }
    sock_close(rs->sock.release());
    burst_queue_clear(&rs->backlog);
    if (rs->lock_ready) {
        e = pthread_mutex_destroy(&rs->lock);
        if (e != 0)
            log_msg(LOG_ERR, "%s - cannot destroy mutex (%i)", "rsock_close", e);
        rs->lock_ready = 0;
    }
    return true;
}

const char* state_name(RsockState state)
{
    switch (state) {
    case RsockState::resolving:
        return "resolving";
    case RsockState::connecting:
        return "connecting";
    case RsockState::connected:
        return "connected";
    case RsockState::waiting:
        return "waiting";
    case RsockState::disabled:
        break;
    }
    return "disabled";
}
}  // namespace

RemoteSocket* rsock_open(const RemoteSocketSettings* settings)
{
    if (!settings || !settings->enabled || !settings->ipaddr || !settings->ipaddr[0] || !settings->period ||
        !settings->period_halt)
        return nullptr;
    RemoteSocket* rs = new (std::nothrow) RemoteSocket{};
    if (!rs) {
        log_msg(LOG_ERR, "%s - not enough memory", "rsock_open");
        return nullptr;
    }
    rs->settings = settings;
    rs->current = &rs->frames[0];
    rs->pending = &rs->frames[1];
    rs->earlier = &rs->frames[2];
    rs->outgoing = &rs->frames[3];
    rs->parked = &rs->frames[4];
    rs->period = settings->period;
    rs->period_halt = settings->period_halt;
    rs->state = RsockState::connecting;
    SockAddrList literal;
    rs->literal = sock_lookup_numeric(settings->ipaddr, 0, SOCK_STREAM, &literal) == 0;
    // An IPv6 address takes brackets before its port; one written with them
    // keeps its own.
    const bool brackets = settings->ipaddr[0] != '[' && sock_is_ipv6_literal(settings->ipaddr);
    std::snprintf(rs->name, sizeof rs->name, brackets ? "[%s]:%u" : "%s:%u", settings->ipaddr,
                  settings->port & 0xFFFFu);
    rs->step = settings->protocol == 1 ? rsock_udp_connect : rsock_tcp_connect;
    rs->burst_max = settings->protocol == 1 ? kDatagramMax : kSocketFrameSize;
    if (settings->backlog > 0 && settings->protocol == 1) {
        // A datagram gives no sign of delivery to keep bursts against.
        log_msg(LOG_NOTICE, "%s - backlog ignored on a UDP stream (%s)", "rsock_open", rs->name);
    } else if (settings->backlog > 0) {
        rs->keep = true;
        rs->backlog.capacity = settings->backlog;
        rs->next_tick = monotonic_ms() + kTickMs;
    }
    int e = pthread_mutex_init(&rs->lock, nullptr);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot create mutex (%i)", "rsock_open", e);
        rsock_close(rs);
        return nullptr;
    }
    rs->lock_ready = 1;
    e = worker_start(&rs->worker, rsock_main, rs);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot create thread (%i)", "rsock_open", e);
        rsock_close(rs);
        return nullptr;
    }
    return rs;
}

void rsock_close(RemoteSocket* rs)
{
    if (!rs)
        return;
    if (rsock_destroy(rs)) {
        delete rs;
    }
}

RsockStatus rsock_status(RemoteSocket* rs)
{
    RsockStatus st{};
    st.state = "disabled";
    if (!rs || pthread_mutex_lock(&rs->lock) != 0)
        return st;
    st.state = state_name(rs->state);
    st.bursts_sent = rs->bursts_sent;
    st.bytes_sent = rs->bytes_sent;
    st.bursts_skipped = rs->bursts_skipped;
    st.bursts_lost = rs->bursts_lost;
    st.bursts_dropped = rs->bursts_skipped + rs->bursts_lost;
    st.reconnects = rs->reconnects;
    std::snprintf(st.last_error, sizeof st.last_error, "%s", rs->last_error);
    if (rs->state == RsockState::connected)
        std::snprintf(st.address, sizeof st.address, "%s", rs->address);
    st.period = rs->period;
    st.period_halt = rs->period_halt;
    st.backlog = rs->backlog_count;
    st.backlog_dropped = rs->backlog_dropped;
    pthread_mutex_unlock(&rs->lock);
    return st;
}
