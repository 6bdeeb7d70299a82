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
// in a detached helper thread that shares only a small reference-counted
// record with the worker; a worker told to stop walks away and the helper
// frees the record when its lookup returns.
//
// The main loop must never wait for the network: the worker takes the
// pending burst into a frame of its own under the lock and sends it after
// releasing the lock, so a writer waits at most for one burst copy.
#include "outputs/rsock.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/settings.h"
#include "outputs/sock.h"
#include "platform/platform.h"

namespace {

// Silence up to which a write still belongs to the burst being filled (one
// receiver output cycle), and from which a held burst is too old to send.
constexpr long kJoinGapUsec = 300000;
constexpr time_t kStaleGapSec = 2;

// Pauses of the worker, in milliseconds.
constexpr int kTickMs = 1000;
constexpr int kRetryMs = 10000;
constexpr int kFailPauseMs = 1000;

// Bytes read and thrown away per readable event of a TCP server.
constexpr std::size_t kDiscardSize = 1500;

// TCP keepalive idle time: twice the halted pace, but never below 10 s.
constexpr uint32_t kKeepaliveMinHalt = 4;
constexpr unsigned kKeepaliveIdleMin = 10;

} // namespace

struct SocketFrame {
    char data[kSocketFrameSize];
    int length;  // 0: empty
    struct timeval stamp;
    int moving;
};

struct RemoteSocket;
using RemoteSocketStep = void (*)(RemoteSocket*);

struct RemoteSocket {
    const RemoteSocketSettings* settings;
    pthread_mutex_t lock;
    int lock_ready;
    pthread_t worker;
    int worker_running;
    // Worker only.
    RemoteSocketStep step;
    int sock;
    int countdown;
    // Guarded by lock.
    SocketFrame current;
    SocketFrame pending;
    // Worker only: the burst being sent, taken from pending under the lock.
    SocketFrame outgoing;
    // Readable once rsock_close wants the worker to end; never read.
    int stop_fd;
    int stopping;  // atomic access only
};

namespace {

bool stopped(const RemoteSocket* rs)
{
    return __atomic_load_n(&rs->stopping, __ATOMIC_ACQUIRE) != 0;
}

int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd (may be -1) has one of events, the stop descriptor is
// readable or timeout_ms passes (-1: no limit). Returns 1 for fd's event
// (revents in *revents), 0 for the timeout, -2 when stopped, -1 on a poll
// failure with errno set.
int rsock_poll(RemoteSocket* rs, int fd, short events, int timeout_ms, short* revents)
{
    const int64_t end = timeout_ms < 0 ? 0 : monotonic_ms() + timeout_ms;
    pollfd fds[2] = {{rs->stop_fd, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        if (stopped(rs))
            return -2;
        int left = -1;
        if (timeout_ms >= 0) {
            int64_t rest = end - monotonic_ms();
            left = rest > 0 ? static_cast<int>(rest) : 0;
        }
        int r = poll(fds, fd >= 0 ? 2 : 1, left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (fds[0].revents)
            return -2;
        if (r == 0)
            return 0;
        if (revents)
            *revents = fds[1].revents;
        return 1;
    }
}

// Sleeps without the lock; false when the worker is to stop.
bool rsock_sleep(RemoteSocket* rs, int ms)
{
    return rsock_poll(rs, -1, 0, ms, nullptr) == 0;
}

// --- resolution ------------------------------------------------------------

// Shared by a worker and its lookup helper; the last one out frees it.
struct Lookup {
    int refs;
    int done_fd;  // eventfd the helper signals when the answer is in
    int result;   // of sock_lookup, published before done_fd is signalled
    struct in_addr addr;
    char name[1];  // allocated to fit
};

void lookup_release(Lookup* l)
{
    if (__atomic_sub_fetch(&l->refs, 1, __ATOMIC_ACQ_REL) == 0) {
        close(l->done_fd);
        std::free(l);
    }
}

void* lookup_main(void* arg)
{
    Lookup* l = static_cast<Lookup*>(arg);
    struct in_addr addr{};
    int result = sock_lookup(l->name, &addr);
    l->addr = addr;
    __atomic_store_n(&l->result, result, __ATOMIC_RELEASE);
    uint64_t one = 1;
    ssize_t ignored = write(l->done_fd, &one, sizeof one);
    (void)ignored;
    lookup_release(l);
    return nullptr;
}

// Address of the server for one connect attempt, looked up anew every time
// so that a changed name or resolver configuration is followed. False when
// the worker is to stop.
bool rsock_resolve(RemoteSocket* rs, struct in_addr* addr)
{
    const char* name = rs->settings->ipaddr;
    if (sock_lookup_numeric(name, addr) == 0)
        return true;

    const std::size_t len = std::strlen(name);
    Lookup* l = static_cast<Lookup*>(std::calloc(1, sizeof(Lookup) + len));
    int done_fd = l ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    pthread_t helper;
    pthread_attr_t attr;
    bool detached = false;
    if (done_fd >= 0 && pthread_attr_init(&attr) == 0) {
        std::memcpy(l->name, name, len + 1);
        l->done_fd = done_fd;
        l->refs = 2;
        l->result = -1;
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        detached = pthread_create(&helper, &attr, lookup_main, l) == 0;
        pthread_attr_destroy(&attr);
    }
    int result;
    if (!detached) {
        // No helper to be had: look up in place; only the stop is delayed.
        if (done_fd >= 0)
            close(done_fd);
        std::free(l);
        result = sock_lookup(name, addr);
    } else {
        int r = rsock_poll(rs, done_fd, POLLIN, -1, nullptr);
        if (r == -2) {
            lookup_release(l);
            return false;
        }
        if (r < 0) {
            // Cannot wait for the helper: count it as a failed lookup.
            result = -1;
            addr->s_addr = 0;
        } else {
            result = __atomic_load_n(&l->result, __ATOMIC_ACQUIRE);
            *addr = l->addr;
        }
        lookup_release(l);
    }
    if (result < 0) {
        addr->s_addr = 0;
        log_msg(LOG_WARNING, "error resolving hostname %s", name);
    }
    return true;
}

// --- sending -----------------------------------------------------------------

// Sends the whole burst as one blocking send would, without a broken-pipe
// signal. Returns 0 when every byte went, -2 when stopped, -1 with errno set.
int rsock_send_all(RemoteSocket* rs, const char* data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = send(rs->sock, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            short revents = 0;
            int r = rsock_poll(rs, rs->sock, POLLOUT, -1, &revents);
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

// One due tick: take the latest completed burst and send it. Returns -1 after
// a failed send (socket closed), 0 otherwise.
int rsock_send_due(RemoteSocket* rs, const char* lock_name, const char* send_name)
{
    if (--rs->countdown > 0)
        return 0;
    int e = pthread_mutex_lock(&rs->lock);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot lock mutex (%i)", lock_name, e);
        return 0;
    }
    SocketFrame* out = &rs->outgoing;
    out->length = 0;
    if (rs->pending.length > 0) {
        std::memcpy(out->data, rs->pending.data, static_cast<std::size_t>(rs->pending.length));
        out->length = rs->pending.length;
        out->stamp = rs->pending.stamp;
        out->moving = rs->pending.moving;
        rs->pending.length = 0;
    }
    e = pthread_mutex_unlock(&rs->lock);
    if (e != 0)
        log_msg(LOG_ERR, "%s - cannot unlock mutex (%i)", lock_name, e);
    if (out->length <= 0)
        return 0;

    int r = rsock_send_all(rs, out->data, static_cast<std::size_t>(out->length));
    const int saved = errno;
    out->length = 0;
    if (r == -2)
        return 0;
    if (r == 0) {
        const uint32_t period = out->moving ? rs->settings->period : rs->settings->period_halt;
        rs->countdown = static_cast<int>(period) - 1;
        return 0;
    }
    log_msg(LOG_ERR, "%s - socket send error: %s", send_name, strerror(saved));
    sock_close(rs->sock);
    rs->sock = -1;
    return -1;
}

// --- the four steps ----------------------------------------------------------

void rsock_tcp_connect(RemoteSocket* rs);
void rsock_tcp_exec(RemoteSocket* rs);
void rsock_udp_connect(RemoteSocket* rs);
void rsock_udp_exec(RemoteSocket* rs);

void rsock_tcp_connect(RemoteSocket* rs)
{
    struct in_addr addr{};
    if (!rsock_resolve(rs, &addr))
        return;
    int sock = sock_tcp_connect_until(addr, rs->settings->port, rs->stop_fd);
    if (sock < 0) {
        rsock_sleep(rs, kRetryMs);
        return;
    }
    const uint32_t halt = rs->settings->period_halt;
    sock_keepalive(sock, halt > kKeepaliveMinHalt ? 2 * halt : kKeepaliveIdleMin);
    rs->sock = sock;
    rs->countdown = 1;
    rs->step = rsock_tcp_exec;
}

// The server sent something or closed: read and discard. The connection is
// given up when it closed or the read failed.
void rsock_tcp_socket_exec(RemoteSocket* rs)
{
    char discard[kDiscardSize];
    ssize_t n = recv(rs->sock, discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
        return;
    if (n < 0)
        log_msg(LOG_ERR, "%s - socket recv error: %s", "rsock_tcp_socket_exec", strerror(errno));
    sock_close(rs->sock);
    rs->sock = -1;
    rs->step = rsock_tcp_connect;
    rsock_sleep(rs, kFailPauseMs);
}

void rsock_tcp_exec(RemoteSocket* rs)
{
    short revents = 0;
    int r = rsock_poll(rs, rs->sock, POLLIN, kTickMs, &revents);
    if (r == -2)
        return;
    if (r < 0) {
        log_msg(LOG_ERR, "%s - select error: %s", "rsock_tcp_exec", strerror(errno));
        rsock_sleep(rs, kFailPauseMs);
        return;
    }
    if (r > 0) {
        rsock_tcp_socket_exec(rs);
        return;
    }
    if (rsock_send_due(rs, "rsock_tcp_send_test", "rsock_tcp_send_exec") < 0) {
        rs->step = rsock_tcp_connect;
        rsock_sleep(rs, kFailPauseMs);
    }
}

void rsock_udp_connect(RemoteSocket* rs)
{
    struct in_addr addr{};
    if (!rsock_resolve(rs, &addr))
        return;
    int sock = sock_udp_connect_nonblock(addr, rs->settings->port);
    if (sock < 0) {
        rsock_sleep(rs, kRetryMs);
        return;
    }
    rs->sock = sock;
    rs->countdown = 1;
    rs->step = rsock_udp_exec;
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
    while (!stopped(rs))
        rs->step(rs);
    return nullptr;
}

// --- framing -----------------------------------------------------------------

void rsock_write_exec(RemoteSocket* rs, const char* data, std::size_t length, int moving,
                      const struct timeval* now)
{
    SocketFrame* cur = &rs->current;
    if (cur->length > 0) {
        time_t sec = now->tv_sec - cur->stamp.tv_sec;
        long usec = static_cast<long>(now->tv_usec) - static_cast<long>(cur->stamp.tv_usec);
        if (usec < 0) {
            usec += 1000000;
            sec -= 1;
        }
        if (sec < 0 || (sec == 0 && usec <= kJoinGapUsec)) {
            if (static_cast<std::size_t>(cur->length) + length <= kSocketFrameSize) {
                std::memcpy(cur->data + cur->length, data, length);
                cur->length += static_cast<int>(length);
                cur->stamp = *now;
                cur->moving = moving;
                return;
            }
            log_msg(LOG_ERR, "%s - oops, buffer is full", "rsock_write_exec");
        } else if (sec < kStaleGapSec) {
            std::memcpy(rs->pending.data, cur->data, static_cast<std::size_t>(cur->length));
            rs->pending.length = cur->length;
            rs->pending.stamp = cur->stamp;
            rs->pending.moving = cur->moving;
        }
        cur->length = 0;
    }
    if (length > kSocketFrameSize) {
        // Larger than any burst: dropped rather than cut.
        log_msg(LOG_ERR, "%s - oops, buffer is full", "rsock_write_exec");
        return;
    }
    std::memcpy(cur->data, data, length);
    cur->length = static_cast<int>(length);
    cur->stamp = *now;
    cur->moving = moving;
}

// Tears down whatever rsock_open got to build. False when the worker could
// not be awaited, in which case the record is left to it.
bool rsock_destroy(RemoteSocket* rs)
{
    if (rs->worker_running) {
        __atomic_store_n(&rs->stopping, 1, __ATOMIC_RELEASE);
        uint64_t one = 1;
        ssize_t ignored = write(rs->stop_fd, &one, sizeof one);
        (void)ignored;
        int e = pthread_join(rs->worker, nullptr);
        if (e != 0) {
            log_msg(LOG_ERR, "%s - cannot terminate thread (%i)", "rsock_close", e);
            return false;
        }
        rs->worker_running = 0;
    }
    if (rs->sock >= 0) {
        sock_close(rs->sock);
        rs->sock = -1;
    }
    if (rs->stop_fd >= 0) {
        close(rs->stop_fd);
        rs->stop_fd = -1;
    }
    if (rs->lock_ready) {
        int e = pthread_mutex_destroy(&rs->lock);
        if (e != 0)
            log_msg(LOG_ERR, "%s - cannot destroy mutex (%i)", "rsock_close", e);
        rs->lock_ready = 0;
    }
    return true;
}

} // namespace

RemoteSocket* rsock_open(const RemoteSocketSettings* settings)
{
    if (!settings || !settings->enabled || !settings->ipaddr || !settings->ipaddr[0] || !settings->period ||
        !settings->period_halt)
        return nullptr;
    RemoteSocket* rs = static_cast<RemoteSocket*>(std::calloc(1, sizeof(RemoteSocket)));
    if (!rs) {
        log_msg(LOG_ERR, "%s - not enough memory", "rsock_open");
        return nullptr;
    }
    rs->settings = settings;
    rs->sock = -1;
    rs->step = settings->protocol == 1 ? rsock_udp_connect : rsock_tcp_connect;
    rs->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (rs->stop_fd < 0) {
        log_msg(LOG_ERR, "%s - cannot create thread (%i)", "rsock_open", errno);
        rsock_close(rs);
        return nullptr;
    }
    int e = pthread_mutex_init(&rs->lock, nullptr);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot create mutex (%i)", "rsock_open", e);
        rsock_close(rs);
        return nullptr;
    }
    rs->lock_ready = 1;
    // The worker takes no signals: SIGTERM must reach the main thread, whose
    // wait on the receiver it interrupts.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    e = pthread_create(&rs->worker, nullptr, rsock_main, rs);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot create thread (%i)", "rsock_open", e);
        rsock_close(rs);
        return nullptr;
    }
    rs->worker_running = 1;
    return rs;
}

void rsock_write_at(RemoteSocket* rs, const char* data, std::size_t length, int moving, const struct timeval* now)
{
    if (!rs || !data || length == 0)
        return;
    int e = pthread_mutex_lock(&rs->lock);
    if (e != 0) {
        log_msg(LOG_ERR, "%s - cannot lock mutex (%i)", "rsock_write", e);
        return;
    }
    rsock_write_exec(rs, data, length, moving, now);
    e = pthread_mutex_unlock(&rs->lock);
    if (e != 0)
        log_msg(LOG_ERR, "%s - cannot unlock mutex (%i)", "rsock_write", e);
}

void rsock_write(RemoteSocket* rs, const char* data, std::size_t length, int moving)
{
    if (!rs || !data || length == 0)
        return;
    struct timeval now;
    gettimeofday(&now, nullptr);
    rsock_write_at(rs, data, length, moving, &now);
}

void rsock_close(RemoteSocket* rs)
{
    if (!rs)
        return;
    if (rsock_destroy(rs))
        std::free(rs);
}

int rsock_peek(RemoteSocket* rs, int which, char* buf, std::size_t size, int* moving)
{
    if (!rs || pthread_mutex_lock(&rs->lock) != 0)
        return -1;
    const SocketFrame* f = which == 0 ? &rs->current : &rs->pending;
    const int length = f->length;
    if (buf && size > 0)
        std::memcpy(buf, f->data, static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size);
    if (moving)
        *moving = f->moving;
    pthread_mutex_unlock(&rs->lock);
    return length;
}
