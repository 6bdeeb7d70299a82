// SNMP reporting: nine position values sent as traps and served to "snmp".
#include "outputs/snmp.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "core/settings.h"
#include "nmea/report.h"
#include "outputs/proc.h"
#include "platform/platform.h"

namespace {

constexpr int kSlotCount = 9;
// Each slot holds its report field verbatim; slot 2 and 3 add the hemisphere.
constexpr std::size_t kSlotSize[kSlotCount] = {12, 16, 16, 8, 4, 4, 8, 8, 12};
constexpr std::size_t kSlotMax = 16;
constexpr const char* kOidPrefix = "1.3.6.1.4.1.99991.7.";
// Slot 5 (satellites) is an integer, every other slot a string.
constexpr const char* kSlotType[kSlotCount] = {"s", "s", "s", "s", "i", "s", "s", "s", "s"};
// The trap tool's command line has always been bounded by this buffer; a
// trap that would not fit is refused rather than cut into something else.
constexpr std::size_t kTrapLineSize = 1028;
constexpr int kFamilyZar = 2;
constexpr int kTrapRefused = -2;

} // namespace

struct SnmpReporter {
    uint32_t enabled;
    const char* ipaddr;
    uint32_t period;
    uint32_t period_halt;
    pthread_t worker;
    bool worker_running;
    pthread_mutex_t lock;
    // Guarded by lock: everything below.
    pthread_cond_t wake;  // an update arrived or the reporter is closing
    int fresh;
    int moving;
    int pending;  // an update arrived since the worker last looked
    bool stopping;
    char values[kSlotCount][kSlotMax];
};

namespace {

// Values from the receiver and the settings file must never reach a shell, so
// the trap tool is run directly with the argument list that the traditional
// command line "snmptrap -c tarnis -s 1001 -R <ipaddr> <oid> <type> <value>..."
// stands for: each value is exactly one argument. For ordinary values that is
// word for word what a shell would have made of the line; a value that is
// empty or holds blanks stays one (possibly empty) argument instead of
// vanishing or splitting, so every object keeps its type and value in place.
// Called with the lock held. Returns the wait status, -1 when the tool could
// not be started, kTrapRefused when the line was too long.
int send_trap(SnmpReporter* r)
{
    char oids[kSlotCount][32];
    std::size_t line_len = std::strlen("snmptrap -c tarnis -s 1001 -R ") + std::strlen(r->ipaddr);
    for (int i = 0; i < kSlotCount; ++i) {
        std::snprintf(oids[i], sizeof oids[i], "%s%d.0", kOidPrefix, i + 1);
        line_len += 1 + std::strlen(oids[i]) + 1 + std::strlen(kSlotType[i]) + 1 + std::strlen(r->values[i]);
    }
    if (line_len >= kTrapLineSize) {
        log_msg(LOG_ERR, "SNMP trap refused: command line of %zu bytes exceeds %zu", line_len, kTrapLineSize - 1);
        return kTrapRefused;
    }
    return proc_run("snmptrap", "-c", "tarnis", "-s", "1001", "-R", r->ipaddr,  //
                    oids[0], kSlotType[0], r->values[0], oids[1], kSlotType[1], r->values[1],  //
                    oids[2], kSlotType[2], r->values[2], oids[3], kSlotType[3], r->values[3],  //
                    oids[4], kSlotType[4], r->values[4], oids[5], kSlotType[5], r->values[5],  //
                    oids[6], kSlotType[6], r->values[6], oids[7], kSlotType[7], r->values[7],  //
                    oids[8], kSlotType[8], r->values[8], static_cast<const char*>(nullptr));
}

// Waits the pause (or, without a pause, for the next update) with the lock
// held by the caller; returns false when the reporter is closing.
bool wait_pause(SnmpReporter* r)
{
    const uint32_t pause = r->moving ? r->period : r->period_halt;
    if (pause == 0) {
        // "No pause" means a trap per update; spinning on the lock in the
        // meantime would only burn the CPU, and retrying a failed trap at
        // once would start the tool back to back.
        while (!r->stopping && !r->pending)
            pthread_cond_wait(&r->wake, &r->lock);
        r->pending = 0;
        return !r->stopping;
    }
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(pause);
    while (!r->stopping) {
        if (pthread_cond_timedwait(&r->wake, &r->lock, &until) == ETIMEDOUT)
            break;
    }
    return !r->stopping;
}

// The trap worker. It waits on a condition variable rather than sleeping so
// that snmp_close can end it at once and join it; cancelling a thread of this
// program (built without exceptions) at an arbitrary point is not safe. Seen
// from outside nothing changes: one pause, then at most one trap.
void* snmp_trap_main(void* arg)
{
    SnmpReporter* r = static_cast<SnmpReporter*>(arg);
    int err = pthread_mutex_lock(&r->lock);
    if (err != 0) {
        log_msg(LOG_ERR, "cannot lock SNMP GPS access mutex (main)");
        return nullptr;
    }
    while (wait_pause(r)) {
        if (!r->fresh)
            continue;
        int status = send_trap(r);
        // Only a tool that ran to its end with code 0 has sent the trap; one
        // killed by a signal has not, so the values stay fresh.
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            r->fresh = 0;
        else if (status != kTrapRefused)
            log_msg(LOG_ERR, "system call failed (%i)", status);
    }
    pthread_mutex_unlock(&r->lock);
    return nullptr;
}

void copy_or(char* slot, std::size_t size, const char* text, const char* empty)
{
    std::snprintf(slot, size, "%s", text[0] ? text : empty);
}

// Reads the slot number the way "%u" would (leading blanks, an optional
// sign), but a negative or oversized number never wraps into 1..9.
bool parse_slot_id(const char* p, unsigned long* id)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    unsigned long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        n = n > 1000 ? n : n * 10 + static_cast<unsigned long>(*p - '0');
    *id = negative ? 0 : n;
    return true;
}

// Replies go to a client socket that may already be gone; that must not
// raise SIGPIPE. Plain descriptors (a pipe in a test) take a normal write.
void write_reply(int fd, const char* text)
{
    std::size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = send(fd, text, len, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

int compute_family()
{
    const char* name = status_get("sys", "Product Name");
    return std::strncmp(name, "ZAR", 3) == 0 ? kFamilyZar : 1;
}

void destroy(SnmpReporter* r)
{
    if (pthread_mutex_destroy(&r->lock) != 0)
        log_msg(LOG_ERR, "cannot destroy SNMP GPS access mutex");
    pthread_cond_destroy(&r->wake);
    delete r;
}

} // namespace

int product_family()
{
    static const int family = compute_family();
    return family;
}

SnmpReporter* snmp_open(const SnmpReportSettings* settings)
{
    SnmpReporter* r = new (std::nothrow) SnmpReporter{};
    if (!r) {
        log_msg(LOG_ERR, "not enough memory for SNMP service");
        return nullptr;
    }
    if (settings) {
        r->enabled = settings->enabled;
        r->ipaddr = settings->ipaddr ? settings->ipaddr : "";
        r->period = settings->period;
        r->period_halt = settings->period_halt;
    } else {
        r->ipaddr = "";
    }
    if (pthread_mutex_init(&r->lock, nullptr) != 0) {
        log_msg(LOG_ERR, "cannot create SNMP GPS access mutex");
        delete r;
        return nullptr;
    }
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int err = pthread_cond_init(&r->wake, &attr);
    pthread_condattr_destroy(&attr);
    if (err != 0) {
        log_msg(LOG_ERR, "cannot create SNMP GPS access mutex");
        pthread_mutex_destroy(&r->lock);
        delete r;
        return nullptr;
    }
    if (r->enabled && product_family() != kFamilyZar) {
        r->moving = 1;
        // Signals belong to the main thread: a SIGTERM must interrupt its
        // read, never this worker's wait.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        err = pthread_create(&r->worker, nullptr, snmp_trap_main, r);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (err != 0) {
            log_msg(LOG_ERR, "cannot create SNMP service threed");
            destroy(r);
            return nullptr;
        }
        r->worker_running = true;
    }
    return r;
}

void snmp_update(SnmpReporter* r, const PositionReport* report, int moving)
{
    if (!r || !report || report->updated == 0)
        return;
    if (pthread_mutex_lock(&r->lock) != 0) {
        log_msg(LOG_ERR, "cannot lock SNMP GPS access mutex (update)");
        return;
    }
    char(*v)[kSlotMax] = r->values;
    copy_or(v[0], kSlotSize[0], report->fix_time, "N/A");
    std::snprintf(v[1], kSlotSize[1], "%s%s", report->latitude[0] ? report->latitude : "N/A",
                  report->lat_hemisphere);
    std::snprintf(v[2], kSlotSize[2], "%s%s", report->longitude[0] ? report->longitude : "N/A",
                  report->lon_hemisphere);
    copy_or(v[3], kSlotSize[3], report->altitude, "N/A");
    copy_or(v[4], kSlotSize[4], report->satellites, "0");
    copy_or(v[5], kSlotSize[5], report->fix_quality, "");
    copy_or(v[6], kSlotSize[6], report->speed_knots, "N/A");
    copy_or(v[7], kSlotSize[7], report->course, "N/A");
    copy_or(v[8], kSlotSize[8], report->date, "N/A");
    r->moving = moving;
    r->fresh = 1;
    r->pending = 1;
    pthread_cond_broadcast(&r->wake);
    pthread_mutex_unlock(&r->lock);
}

extern "C" int snmp_walk(void* context, const char* args, int fd)
{
    SnmpReporter* r = static_cast<SnmpReporter*>(context);
    char reply[kSlotMax] = "N/A";
    if (!r) {
        write_reply(fd, reply);
        return 0;
    }
    if (pthread_mutex_lock(&r->lock) != 0) {
        log_msg(LOG_ERR, "%s - cannot get lock", "snmp_walk");
        write_reply(fd, reply);
        return 0;
    }
    if (r->fresh) {
        unsigned long id = 0;
        if (!parse_slot_id(args ? args : "", &id))
            log_msg(LOG_ERR, "%s - cannot get data ID (%s)", "snmp_get", args ? args : "");
        else if (id >= 1 && id <= kSlotCount)
            std::snprintf(reply, sizeof reply, "%s", r->values[id - 1]);
    }
    pthread_mutex_unlock(&r->lock);
    write_reply(fd, reply);
    return 0;
}

void snmp_close(SnmpReporter* r)
{
    if (!r)
        return;
    if (r->worker_running) {
        // A running trap tool holds the lock; closing waits for it to end.
        pthread_mutex_lock(&r->lock);
        r->stopping = true;
        pthread_cond_broadcast(&r->wake);
        pthread_mutex_unlock(&r->lock);
        if (pthread_join(r->worker, nullptr) != 0)
            log_msg(LOG_ERR, "cannot terminate SNMP service threed");
    }
    destroy(r);
}
