// SPDX-License-Identifier: BSD-2-Clause
// The service's side of the fleet feed: a bounded buffer of reads, a thread
// that hands them to the fleet process over a socket pair, and the
// supervision that starts that process again when it dies.
#include "outputs/fleet.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/settings.h"
#include "outputs/mqtt.h"
#include "outputs/report.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/worker.h"

extern char** environ;

namespace {

// Reads kept while the fleet process is away: a record is its header and, when
// the feed takes NMEA, the read's sentences (about 0.3 to 1.5 kB). At 1 Hz and
// several reads a cycle this holds more than five minutes.
constexpr std::size_t kRingBytes = std::size_t{2} << 20;
constexpr std::size_t kRecordMax = sizeof(FleetRead) + kFleetNmeaMax;
// What an emptied buffer may keep of the memory a backlog took.
constexpr std::size_t kGiveBackBytes = std::size_t{64} << 10;
// How long the handoff thread waits between looks at the buffer: also the
// most a read waits before it goes.
constexpr int kLoopMs = 50;
constexpr long long kBackoffMinMs = 1000;
constexpr long long kBackoffMaxMs = 60000;
// A fleet process that ran this long starts again after the shortest pause.
constexpr long long kSteadyMs = 60000;
// A report older than this says the fleet process is stuck.
constexpr long long kStaleMs = 5000;
// At a stop: how long the fleet process may take to save what it holds.
constexpr long long kStopGraceMs = 2000;

constexpr uint32_t kWrap = 0xFFFFFFFFu;

std::size_t round8(std::size_t n)
{
    return (n + 7) & ~std::size_t{7};
}

}  // namespace

struct FleetHandoff {
    Worker worker;
    const ReceiverStats* receiver;
    bool want_nmea;

    // Guarded by lock: the buffer of reads and the last report.
    pthread_mutex_t lock;
    char* ring;  // records of [uint32 length][datagram], each at a multiple of 8
    std::size_t head, tail, records;
    std::size_t touched;  // how far into the buffer records have reached since it was last given back
    uint64_t popped;      // records taken off the head so far (sent or dropped)
    uint64_t dropped;
    FleetReport report;
    long long report_ms;  // 0: no report yet
    long long started_ms;

    // The handoff thread's own.
    pid_t pid;
    Fd sock;
    long long next_start_ms;
    long long backoff_ms;
    long long spawned_ms;
    char last_end[96];  // how the last fleet process ended, as logged
    char path[kPlatPathMax];
    char out[kRecordMax];
};

namespace {

// --- the buffer (under lock) ----------------------------------------------------

void ring_drop_head(FleetHandoff* f)
{
    if (f->head + 4 > kRingBytes)
        f->head = 0;
    uint32_t len;
    std::memcpy(&len, f->ring + f->head, 4);
    if (len == kWrap) {
        f->head = 0;
        std::memcpy(&len, f->ring, 4);
    }
    f->head += round8(4 + len);
    f->records -= 1;
    f->popped += 1;
    if (f->records == 0)
        f->head = f->tail = 0;  // an empty buffer starts at its beginning again: few pages ever touched
}

// Room for need bytes at the tail, contiguous; false when the buffer, even
// empty, cannot hold them.
char* ring_reserve(FleetHandoff* f, std::size_t need)
{
    if (need > kRingBytes / 2)
        return nullptr;
    for (;;) {
        if (f->records == 0)
            f->head = f->tail = 0;
        if (f->records == 0 || f->tail > f->head) {
            if (kRingBytes - f->tail >= need)
                return f->ring + f->tail;
            if (f->head > need) {  // wrap, leaving the head's record whole
                if (kRingBytes - f->tail >= 4) {
                    const uint32_t wrap = kWrap;
                    std::memcpy(f->ring + f->tail, &wrap, 4);
                }
                f->tail = 0;
                return f->ring;
            }
        } else if (f->head - f->tail > need) {
            return f->ring + f->tail;
        }
        ring_drop_head(f);
        f->dropped += 1;
    }
}

// The head record's datagram into out; its length, 0 when the buffer is empty.
std::size_t ring_peek(FleetHandoff* f, char* out, uint64_t* number)
{
    if (f->records == 0)
        return 0;
    std::size_t at = f->head + 4 > kRingBytes ? 0 : f->head;
    uint32_t len;
    std::memcpy(&len, f->ring + at, 4);
    if (len == kWrap) {
        at = 0;
        std::memcpy(&len, f->ring, 4);
    }
    std::memcpy(out, f->ring + at + 4, len);
    *number = f->popped;
    return len;
}

// --- the fleet process --------------------------------------------------------------

void fleet_path(char* out, std::size_t size)
{
    // Beside the service's own executable: both come from one package.
    const char* given = std::getenv("GNSSD_FLEET_BIN");
    if (given != nullptr && given[0] != '\0') {
        std::snprintf(out, size, "%s", given);
        return;
    }
    char self[kPlatPathMax - 16];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::snprintf(out, size, "/usr/sbin/gnssd-fleet");
        return;
    }
    self[n] = '\0';
    char* slash = std::strrchr(self, '/');
    if (slash != nullptr)
        *slash = '\0';
    std::snprintf(out, size, "%s/gnssd-fleet", self);
}

// The next start after the back-off, which doubles up to its limit.
void retry_later(FleetHandoff* f, long long now)
{
    f->next_start_ms = now + f->backoff_ms;
    f->backoff_ms = f->backoff_ms * 2 > kBackoffMaxMs ? kBackoffMaxMs : f->backoff_ms * 2;
}

void spawn(FleetHandoff* f, long long now)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        log_msg(LOG_ERR, "fleet: cannot make its socket pair: %s", std::strerror(errno));
        f->next_start_ms = now + kBackoffMaxMs;
        return;
    }
    Fd ours(pair[0]);
    Fd theirs(pair[1]);
    // The child's end must arrive as kFleetHandoffFd without close-on-exec:
    // a dup2 onto itself would keep the flag, so it never already is that number.
    if (theirs.get() == kFleetHandoffFd)
        theirs = Fd(fcntl(theirs.get(), F_DUPFD_CLOEXEC, kFleetHandoffFd + 1));
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), kFleetHandoffFd);
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    // The handoff thread blocks every signal; the fleet process must not.
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // The family is known before the first read: the broker hears it at the connect.
    char family[24] = "";
    if (f->receiver != nullptr) {
        auto* stats = const_cast<ReceiverStats*>(f->receiver);
        pthread_mutex_lock(&stats->lock);
        std::snprintf(family, sizeof family, "%s", stats->family);
        pthread_mutex_unlock(&stats->lock);
    }
    char* const argv[] = {const_cast<char*>("gnssd-fleet"), const_cast<char*>("--family"), family, nullptr};
    pid_t pid = -1;
    const int e = posix_spawn(&pid, f->path, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (e != 0) {
        char what[96];
        std::snprintf(what, sizeof what, "cannot start %.48s: %s", f->path, std::strerror(e));
        if (std::strcmp(what, f->last_end) != 0) {
            log_msg(LOG_ERR, "fleet: %s", what);
            std::snprintf(f->last_end, sizeof f->last_end, "%s", what);
        }
        retry_later(f, now);
        return;
    }
    f->pid = pid;
    f->sock = static_cast<Fd&&>(ours);
    f->spawned_ms = now;
}

// How a process ended, in the log's words.
void describe_end(int status, char* how, std::size_t size)
{
    if (WIFSIGNALED(status))
        std::snprintf(how, size, "ended by signal %d", WTERMSIG(status));
    else
        std::snprintf(how, size, "exited with status %d", WEXITSTATUS(status));
}

// Waits for the fleet process to end, killing it after grace_ms.
void reap(FleetHandoff* f, long long grace_ms, char* how, std::size_t size)
{
    int status = 0;
    const long long until = monotonic_ms() + grace_ms;
    pid_t r;
    while ((r = waitpid(f->pid, &status, WNOHANG)) == 0 && monotonic_ms() < until)
        clock_pause_ms(20);
    if (r == 0) {
        kill(f->pid, SIGKILL);
        r = waitpid(f->pid, &status, 0);
    }
    if (r == f->pid)
        describe_end(status, how, size);
    else
        std::snprintf(how, size, "ended");
    f->pid = 0;
}

// The fleet process went (status given when it was reaped already) or its
// socket did: it is started again after the back-off, said once per change.
void lost(FleetHandoff* f, const int* status)
{
    f->sock.reset();
    char how[64];
    if (status != nullptr) {
        describe_end(*status, how, sizeof how);
        f->pid = 0;
    } else {
        reap(f, 100, how, sizeof how);
    }
    const long long now = monotonic_ms();
    if (now - f->spawned_ms >= kSteadyMs)
        f->backoff_ms = kBackoffMinMs;
    char what[96];
    std::snprintf(what, sizeof what, "the fleet process %s", how);
    if (std::strcmp(what, f->last_end) != 0) {
        log_msg(LOG_WARNING, "fleet: %s, starting it again in %lld s", what, f->backoff_ms / 1000);
        std::snprintf(f->last_end, sizeof f->last_end, "%s", what);
    }
    retry_later(f, now);
}

// Ends a text of the fleet process within its field and makes each control
// character a '?' (line feeds stay where lines are wanted).
void plain(char* text, std::size_t size, bool lines)
{
    text[size - 1] = '\0';
    for (char* p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && !(lines && c == '\n')) || c == 0x7f)
            *p = '?';
    }
}

// Takes every report waiting; false when the fleet process's end is gone.
bool take_reports(FleetHandoff* f, long long now)
{
    for (;;) {
        FleetReport r;
        const ssize_t n = recv(f->sock.get(), &r, sizeof r, MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0)
            return false;
        if (static_cast<std::size_t>(n) != sizeof r || r.kind != kFleetReport)
            continue;  // not ours: another version mid-upgrade
        // The fleet process parses what the network sends: what it says
        // reaches the report and a terminal as plain text only.
        plain(r.mqtt.state, sizeof r.mqtt.state, false);
        plain(r.mqtt.last_error, sizeof r.mqtt.last_error, false);
        plain(r.json, sizeof r.json, false);
        plain(r.text, sizeof r.text, true);
        pthread_mutex_lock(&f->lock);
        f->report = r;
        f->report_ms = now;
        pthread_mutex_unlock(&f->lock);
    }
}

// Hands on what the buffer holds until the socket is full; false when the
// fleet process's end is gone.
bool hand_on(FleetHandoff* f)
{
    for (;;) {
        uint64_t number = 0;
        pthread_mutex_lock(&f->lock);
        const std::size_t n = ring_peek(f, f->out, &number);
        if (n == 0 && f->touched > kGiveBackBytes) {
            // A backlog that has gone leaves its pages to the system again:
            // the buffer costs memory only while it holds something.
            madvise(f->ring, kRingBytes, MADV_DONTNEED);
            f->touched = 0;
        }
        pthread_mutex_unlock(&f->lock);
        if (n == 0)
            return true;
        if (send(f->sock.get(), f->out, n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS;
        pthread_mutex_lock(&f->lock);
        // The main loop may have dropped it meanwhile to make room.
        if (f->popped == number && f->records > 0)
            ring_drop_head(f);
        pthread_mutex_unlock(&f->lock);
    }
}

void* run(void* arg)
{
    auto* f = static_cast<FleetHandoff*>(arg);
    while (!worker_stopping(&f->worker)) {
        const long long now = monotonic_ms();
        if (f->pid <= 0) {
            if (now >= f->next_start_ms)
                spawn(f, now);
            if (f->pid <= 0) {
                const long long wait = f->next_start_ms - now;
                worker_sleep(&f->worker, static_cast<int>(wait < kLoopMs ? kLoopMs : wait > 1000 ? 1000 : wait));
                continue;
            }
        }
        bool ok = hand_on(f);
        pthread_mutex_lock(&f->lock);
        const bool waiting = f->records > 0;
        pthread_mutex_unlock(&f->lock);
        pollfd p{f->sock.get(), static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0};
        if (ok && worker_poll(&f->worker, &p, 1, kLoopMs) == -2)
            break;
        if (ok && (p.revents & POLLIN))
            ok = take_reports(f, monotonic_ms());
        if (ok && (p.revents & (POLLHUP | POLLERR)))
            ok = false;
        int status = 0;
        const pid_t r = ok ? waitpid(f->pid, &status, WNOHANG) : 0;
        if (ok && r == 0)
            continue;
        lost(f, r == f->pid ? &status : nullptr);
    }
    // What is still waiting goes to the fleet process before it is told to stop.
    if (f->pid > 0)
        (void)hand_on(f);
    return nullptr;
}

}  // namespace

FleetHandoff* fleet_open(const MqttSettings* mqtt, const HttpSettings* http, const char* router_id,
                         const ReceiverStats* receiver, const char*)
{
    char host_name[128] = "";
    gethostname(host_name, sizeof host_name - 1);
    MqttConfig cfg;
    const char* fault = nullptr;
    const bool mqtt_on = mqtt_config(mqtt, router_id, host_name, &cfg, &fault);
    if (!mqtt_on && fault)
        log_msg(LOG_WARNING, "settings: MQTT is enabled but has %s (MOD_GPS_MQTT_*), it stays off", fault);
    // The HTTP output runs in the fleet process too, with or without MQTT;
    // the fleet process itself says what is wrong with its settings.
    if (!mqtt_on && !(http && http->enabled))
        return nullptr;
    auto* f = new (std::nothrow) FleetHandoff{};
    // Mapped rather than taken from the heap: pages given back after a
    // backlog must not be ones the allocator keeps its own records in.
    void* map = mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    char* ring = map == MAP_FAILED ? nullptr : static_cast<char*>(map);
    if (f == nullptr || ring == nullptr) {
        delete f;
        if (ring != nullptr)
            munmap(ring, kRingBytes);
        log_msg(LOG_ERR, "fleet: out of memory, not publishing");
        return nullptr;
    }
    f->ring = ring;
    f->receiver = receiver;
    f->want_nmea = mqtt_on && cfg.nmea;
    pthread_mutex_init(&f->lock, nullptr);
    std::snprintf(f->report.mqtt.state, sizeof f->report.mqtt.state, "%s", mqtt_on ? "connecting" : "disabled");
    f->started_ms = monotonic_ms();
    f->backoff_ms = kBackoffMinMs;
    fleet_path(f->path, sizeof f->path);
    const int err = worker_start(&f->worker, run, f);
    if (err != 0) {
        log_msg(LOG_ERR, "fleet: cannot start its thread: %s", std::strerror(err));
        pthread_mutex_destroy(&f->lock);
        munmap(f->ring, kRingBytes);
        delete f;
        return nullptr;
    }
    return f;
}

void fleet_write(FleetHandoff* f, const struct iovec* lines, int count, const PositionReport* report, int moving,
                 long long now_ms)
{
    if (f == nullptr)
        return;
    std::size_t nmea = 0;
    if (f->want_nmea) {
        // A read longer than the record keeps its first whole sentences.
        for (int k = 0; k < count && nmea + lines[k].iov_len <= kFleetNmeaMax; ++k)
            nmea += lines[k].iov_len;
    }
    const std::size_t length = sizeof(FleetRead) + nmea;
    pthread_mutex_lock(&f->lock);
    char* at = ring_reserve(f, round8(4 + length));
    if (at == nullptr) {
        f->dropped += 1;
        pthread_mutex_unlock(&f->lock);
        return;
    }
    const auto len32 = static_cast<uint32_t>(length);
    std::memcpy(at, &len32, 4);
    FleetRead head{};
    head.kind = kFleetRead;
    head.moving = moving;
    head.at_ms = now_ms;
    head.dropped = f->dropped;
    if (f->receiver != nullptr) {
        // The family changes only when a link opens; a torn read cannot happen under its lock.
        auto* stats = const_cast<ReceiverStats*>(f->receiver);
        pthread_mutex_lock(&stats->lock);
        std::snprintf(head.family, sizeof head.family, "%s", stats->family);
        pthread_mutex_unlock(&stats->lock);
    }
    if (report != nullptr)
        head.report = *report;
    head.nmea_length = static_cast<uint32_t>(nmea);
    std::memcpy(at + 4, &head, sizeof head);
    char* p = at + 4 + sizeof head;
    for (int k = 0; k < count && nmea > 0; ++k) {
        std::memcpy(p, lines[k].iov_base, lines[k].iov_len);
        p += lines[k].iov_len;
        nmea -= lines[k].iov_len;
    }
    f->tail = static_cast<std::size_t>(at - f->ring) + round8(4 + length);
    if (f->tail > f->touched)
        f->touched = f->tail;
    f->records += 1;
    pthread_mutex_unlock(&f->lock);
}

void fleet_close(FleetHandoff* f)
{
    if (f == nullptr)
        return;
    worker_stop(&f->worker);
    if (f->pid > 0) {
        // The end of the socket tells it to save and go; SIGTERM says it again.
        f->sock.reset();
        kill(f->pid, SIGTERM);
        char how[64];
        reap(f, kStopGraceMs, how, sizeof how);
    }
    pthread_mutex_destroy(&f->lock);
    munmap(f->ring, kRingBytes);
    delete f;
}

void fleet_status(FleetHandoff* f, FleetReport* out, bool* stale)
{
    *out = FleetReport{};
    *stale = false;
    if (f == nullptr) {
        std::snprintf(out->mqtt.state, sizeof out->mqtt.state, "disabled");
        return;
    }
    const long long now = monotonic_ms();
    pthread_mutex_lock(&f->lock);
    *out = f->report;
    *stale = now - (f->report_ms ? f->report_ms : f->started_ms) > kStaleMs;
    pthread_mutex_unlock(&f->lock);
}
