// SPDX-License-Identifier: BSD-2-Clause
// The daemon's one logging call: syslog, the mirror on standard error, and the repeat limit.
#include "platform/log.h"

#include "platform/clock.h"
#include "platform/platform.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kLogTextSize = 9216;

const char* level_name(int priority)
{
    switch (LOG_PRI(priority)) {
    case LOG_EMERG:
    case LOG_ALERT:
    case LOG_CRIT:
    case LOG_ERR:
        return "err";
    case LOG_WARNING:
        return "warning";
    case LOG_NOTICE:
        return "notice";
    case LOG_INFO:
        return "info";
    default:
        return "debug";
    }
}

}  // namespace

void plat_openlog()
{
    openlog("gps", LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

namespace {

// Set before any thread starts; read by every log call.
std::atomic<LogStderr> g_log_stderr{LogStderr::normal};

// Writes one message: syslog, plus the mirror under a simulation root or
// when asked for.
void emit_line(int priority, const char* text)
{
    const LogStderr mode = g_log_stderr.load(std::memory_order_relaxed);
    if (mode != LogStderr::only)
        syslog(priority, "%s", text);
    if (mode == LogStderr::normal && !plat_simulated())
        return;
    // Escape line ends so every message stays one line on standard error.
    char line[kLogTextSize * 2 + 48];
    std::size_t o = 0;
    if (mode == LogStderr::mirror && !plat_simulated()) {
        // In the foreground on the router each line carries the local time,
        // as the system log shows it ("Dec  9 14:03:07"); under a simulation
        // root the lines stay exactly as its readers expect them.
        const time_t now = clock_wall_seconds();
        struct tm local {};
        if (localtime_r(&now, &local))
            o = std::strftime(line, sizeof line, "%b %e %H:%M:%S ", &local);
    }
    o += static_cast<std::size_t>(std::snprintf(line + o, sizeof line - o, "gps: %s: ", level_name(priority)));
    for (const char* s = text; *s && o + 3 < sizeof line; ++s) {
        if (*s == '\r' || *s == '\n') {
            line[o++] = '\\';
            line[o++] = *s == '\r' ? 'r' : 'n';
        } else {
            line[o++] = *s;
        }
    }
    line[o++] = '\n';
    // One write per line so lines from several threads never interleave.
    ssize_t ignored = write(STDERR_FILENO, line, o);
    (void)ignored;
}

// Recently logged kinds of message (one format, one priority) and how often
// each came in its current second. A flood of bad sentences must not write
// thousands of lines a second to a log that may sit on flash, and messages
// that quote the sentence differ in every line: the kind is what counts.
struct RepeatSlot {
    const char* format;  // a literal: lives as long as the program
    int priority;
    long long second;  // monotonic second of the current count; -1: free
    unsigned count;
    unsigned dropped;
    char head[80];  // start of the first text held back, for the summary line
};
constexpr int kRepeatSlots = 16;
RepeatSlot g_repeat[kRepeatSlots] = {};
bool g_repeat_ready = false;
pthread_mutex_t g_log_lock = PTHREAD_MUTEX_INITIALIZER;

void flush_repeats(RepeatSlot& slot)
{
    if (slot.dropped == 0)
        return;
    char line[160];
    std::snprintf(line, sizeof line, "%u similar messages suppressed, the first: %.*s", slot.dropped,
                  static_cast<int>(sizeof slot.head - 1), slot.head);
    emit_line(slot.priority, line);
    slot.dropped = 0;
}

void flush_all_repeats()
{
    if (!g_repeat_ready)
        return;
    for (RepeatSlot& slot : g_repeat)
        flush_repeats(slot);
}

bool same_kind(const RepeatSlot& slot, int priority, const char* format)
{
    // The same literal may sit at two addresses in two files.
    return slot.second >= 0 && slot.priority == priority &&
           (slot.format == format || std::strcmp(slot.format, format) == 0);
}

// True when a message of this kind may be logged now. Summaries of earlier
// seconds held back are written first, so that a flood that has ended is
// still counted in the log.
bool repeat_allowed(int priority, const char* format, const char* text)
{
    if (!g_repeat_ready) {
        for (RepeatSlot& slot : g_repeat)
            slot = RepeatSlot{"", 0, -1, 0, 0, {}};
        g_repeat_ready = true;
    }
    const long long now = monotonic_ms() / 1000;
    RepeatSlot* found = nullptr;
    RepeatSlot* oldest = &g_repeat[0];
    for (RepeatSlot& slot : g_repeat) {
        if (slot.second >= 0 && slot.second != now)
            flush_repeats(slot);
        if (!found && same_kind(slot, priority, format))
            found = &slot;
        if (slot.second < oldest->second)
            oldest = &slot;
    }
    if (!found) {
        flush_repeats(*oldest);
        found = oldest;
        *found = RepeatSlot{format, priority, now, 0, 0, {}};
    }
    if (found->second != now) {
        found->second = now;
        found->count = 0;
    }
    if (found->count >= kLogRepeatLimit) {
        if (found->dropped++ == 0) {
            const std::size_t k = strnlen(text, sizeof found->head - 1);
            std::memcpy(found->head, text, k);
            found->head[k] = '\0';
        }
        return false;
    }
    ++found->count;
    return true;
}

}  // namespace

void plat_log_stderr(LogStderr mode)
{
    g_log_stderr.store(mode, std::memory_order_relaxed);
}

void plat_log_forget_repeats()
{
    pthread_mutex_lock(&g_log_lock);
    g_repeat_ready = false;
    pthread_mutex_unlock(&g_log_lock);
}

namespace {
int g_muted;  // atomic access only
}  // namespace

void plat_log_mute(bool muted)
{
    __atomic_store_n(&g_muted, muted ? 1 : 0, __ATOMIC_RELAXED);
}

void log_msg(int priority, const char* fmt, ...)
{
    if (__atomic_load_n(&g_muted, __ATOMIC_RELAXED))
        return;
    // One fixed line buffer: messages quote module replies of up to 8 KiB.
    char text[kLogTextSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    pthread_mutex_lock(&g_log_lock);
    if (repeat_allowed(priority, fmt, text))
        emit_line(priority, text);
    pthread_mutex_unlock(&g_log_lock);
}

void plat_closelog()
{
    // What the last second held back is told before the log closes.
    pthread_mutex_lock(&g_log_lock);
    flush_all_repeats();
    pthread_mutex_unlock(&g_log_lock);
    closelog();
}
