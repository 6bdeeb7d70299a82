// SPDX-License-Identifier: BSD-2-Clause
// SNMP reporting: nine position values sent as traps and served to "snmp".
#include "outputs/snmp.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/worker.h"
#include "nmea/report.h"
#include "platform/run.h"
#include "platform/status_tool.h"
#include "outputs/sock.h"
#include "platform/platform.h"
#include "platform/log.h"

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
// A trap tool still running after this long is killed: a tool waiting on an
// unreachable name server must not hold up the next trap for ever.
int g_trap_limit_ms = 30000;

}  // namespace

struct SnmpReporter {
    uint32_t enabled;
    const char* ipaddr;
    uint32_t period;
    uint32_t period_halt;
    // Waits on its stop descriptor and is joined; the trap tool runs without
    // the lock, so neither the main loop nor "snmp" ever waits for it.
    Worker worker;
    Fd wake;  // eventfd: an update arrived while the worker was not looking
    pthread_mutex_t lock;
    // Guarded by lock: everything below.
    int fresh;
    int moving;
    int pending;          // an update arrived since the worker last looked
    uint32_t generation;  // counts updates
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
// Works on a copy of the values taken under the lock. Returns the wait
// status, -1 when the tool could not be started, kTrapRefused when the line
// was too long, kTrapKilled when it overran its time (logged), kTrapStopped
// when the reporter is closing.
constexpr int kTrapStopped = -3;
constexpr int kTrapKilled = -4;

int send_trap(SnmpReporter* r, char (*values)[kSlotMax])
{
    char oids[kSlotCount][32];
    std::size_t line_len = std::strlen("snmptrap -c tarnis -s 1001 -R ") + std::strlen(r->ipaddr);
    for (int i = 0; i < kSlotCount; ++i) {
        std::snprintf(oids[i], sizeof oids[i], "%s%d.0", kOidPrefix, i + 1);
        line_len += 1 + std::strlen(oids[i]) + 1 + std::strlen(kSlotType[i]) + 1 + std::strlen(values[i]);
    }
    if (line_len >= kTrapLineSize) {
        log_msg(LOG_ERR, "SNMP trap refused: command line of %zu bytes exceeds %zu", line_len, kTrapLineSize - 1);
        return kTrapRefused;
    }
    const char* argv[] = {"snmptrap", "-c",         "tarnis",  "-s",    "1001",       "-R",      r->ipaddr,  //
                          oids[0],    kSlotType[0], values[0], oids[1], kSlotType[1], values[1],             //
                          oids[2],    kSlotType[2], values[2], oids[3], kSlotType[3], values[3],             //
                          oids[4],    kSlotType[4], values[4], oids[5], kSlotType[5], values[5],             //
                          oids[6],    kSlotType[6], values[6], oids[7], kSlotType[7], values[7],             //
                          oids[8],    kSlotType[8], values[8], nullptr};
    int status = 0;
    const int limit = __atomic_load_n(&g_trap_limit_ms, __ATOMIC_RELAXED);
    // A trap tool that cannot be executed reports 127, as the shell it was
    // once run through did. Killed with whatever it started.
    const ProcStart how{.own_group = true, .exec_failed = kProcExecFailedShell, .worker = &r->worker};
    const int r_run = proc_run(argv, how, limit, nullptr, &status);
    if (r_run == 1) {
        log_msg(LOG_ERR, "%s - trap tool still running after %d s, killed", "snmp_trap_main", limit / 1000);
        return kTrapKilled;
    }
    if (r_run == 2)
        return kTrapStopped;
    return r_run < 0 ? -1 : status;
}

// Waits the pause (or, without a pause, for the next update); false when the
// reporter is closing.
bool wait_pause(SnmpReporter* r)
{
    pthread_mutex_lock(&r->lock);
    uint32_t pause = r->moving ? r->period : r->period_halt;
    pthread_mutex_unlock(&r->lock);
    if (pause == 0) {
        // "No pause" means a trap per update; retrying a failed trap at once
        // would start the tool back to back.
        pollfd p{r->wake.get(), POLLIN, 0};
        if (worker_poll(&r->worker, &p, 1, -1) == -2)
            return false;
        uint64_t count;
        ssize_t ignored = read(r->wake.get(), &count, sizeof count);
        (void)ignored;
        return true;
    }
    return worker_sleep(&r->worker, static_cast<int>(pause * 1000));
}

// The trap worker: one pause, then at most one trap with the values of the
// moment. The trap counts as sent only when the tool ended with code 0; one
// that failed or was killed leaves the values fresh.
void* snmp_trap_main(void* arg)
{
    SnmpReporter* r = static_cast<SnmpReporter*>(arg);
    char values[kSlotCount][kSlotMax];
    while (wait_pause(r)) {
        if (pthread_mutex_lock(&r->lock) != 0) {
            log_msg(LOG_ERR, "cannot lock SNMP GPS access mutex (main)");
            continue;
        }
        const bool fresh = r->fresh != 0;
        const uint32_t generation = r->generation;
        if (fresh)
            std::memcpy(values, r->values, sizeof values);
        r->pending = 0;
        pthread_mutex_unlock(&r->lock);
        if (!fresh)
            continue;
        const int status = send_trap(r, values);
        if (status == kTrapStopped)
            break;
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            // Values stored while the tool ran have not been sent yet.
            pthread_mutex_lock(&r->lock);
            if (r->generation == generation)
                r->fresh = 0;
            pthread_mutex_unlock(&r->lock);
        } else if (status != kTrapRefused && status != kTrapKilled) {
            log_msg(LOG_ERR, "system call failed (%i)", status);
        }
    }
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

int compute_family()
{
    const char* name = status_get("sys", "Product Name");
    return std::strncmp(name, "ZAR", 3) == 0 ? kFamilyZar : 1;
}

void destroy(SnmpReporter* r)
{
    if (pthread_mutex_destroy(&r->lock) != 0)
        log_msg(LOG_ERR, "cannot destroy SNMP GPS access mutex");
    delete r;
}

}  // namespace

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
    if (r->enabled && product_family() != kFamilyZar) {
        r->moving = 1;
        r->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!r->wake || worker_start(&r->worker, snmp_trap_main, r) != 0) {
            log_msg(LOG_ERR, "cannot create SNMP service threed");
            destroy(r);
            return nullptr;
        }
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
    std::snprintf(v[1], kSlotSize[1], "%s%s", report->latitude[0] ? report->latitude : "N/A", report->lat_hemisphere);
    std::snprintf(v[2], kSlotSize[2], "%s%s", report->longitude[0] ? report->longitude : "N/A", report->lon_hemisphere);
    copy_or(v[3], kSlotSize[3], report->altitude, "N/A");
    copy_or(v[4], kSlotSize[4], report->satellites, "0");
    copy_or(v[5], kSlotSize[5], report->fix_quality, "");
    copy_or(v[6], kSlotSize[6], report->speed_knots, "N/A");
    copy_or(v[7], kSlotSize[7], report->course, "N/A");
    copy_or(v[8], kSlotSize[8], report->date, "N/A");
    r->moving = moving;
    r->fresh = 1;
    r->generation += 1;
    // The worker is woken once per look, not per update.
    const bool wake = r->wake && !r->pending;
    r->pending = 1;
    pthread_mutex_unlock(&r->lock);
    if (wake) {
        uint64_t one = 1;
        ssize_t ignored = write(r->wake.get(), &one, sizeof one);
        (void)ignored;
    }
}

extern "C" int snmp_walk(void* context, const char* args, int fd)
{
    SnmpReporter* r = static_cast<SnmpReporter*>(context);
    char reply[kSlotMax] = "N/A";
    if (!r) {
        sock_send_text(fd, reply, std::strlen(reply));
        return 0;
    }
    if (pthread_mutex_lock(&r->lock) != 0) {
        log_msg(LOG_ERR, "%s - cannot get lock", "snmp_walk");
        sock_send_text(fd, reply, std::strlen(reply));
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
    sock_send_text(fd, reply, std::strlen(reply));
    return 0;
}

void snmp_close(SnmpReporter* r)
{
    if (!r)
        return;
    // A trap tool still running is killed; closing does not wait for it.
    if (worker_stop(&r->worker) != 0) {
        log_msg(LOG_ERR, "cannot terminate SNMP service threed");
        return;
    }
    destroy(r);
}

void snmp_set_trap_limit_ms(int ms)
{
    __atomic_store_n(&g_trap_limit_ms, ms, __ATOMIC_RELAXED);
}
