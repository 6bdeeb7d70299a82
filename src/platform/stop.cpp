// SPDX-License-Identifier: BSD-2-Clause
// Stop requests and the pause that ends early on one.
#include "platform/stop.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {
// Set from a signal handler, read by every thread that waits.
std::atomic<int> g_stop_seen{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
// Read end, write end of the pipe behind plat_stop_fd; -1 until it is made.
std::atomic<int> g_stop_pipe[2] = {-1, -1};
constexpr unsigned kPauseLogSeconds = 5;
volatile sig_atomic_t* g_running = nullptr;

void on_stop_signal(int)
{
    if (g_running)
        *g_running = 0;
    plat_stop_note();
}
}  // namespace

void plat_stop_on_signals(volatile sig_atomic_t* running)
{
    g_running = running;
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    static constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sig : kStopSignals)
        sigaction(sig, &sa, nullptr);
}

void plat_stop_note()
{
    g_stop_seen.store(1, std::memory_order_relaxed);
    const int fd = g_stop_pipe[1].load(std::memory_order_acquire);
    if (fd >= 0) {
        const int saved = errno;  // a signal handler leaves errno as it found it
        const char byte = 1;
        (void)!write(fd, &byte, 1);
        errno = saved;
    }
}

int plat_stop_fd()
{
    int fd = g_stop_pipe[0].load(std::memory_order_acquire);
    if (fd >= 0)
        return fd;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    g_stop_pipe[0].store(ends[0], std::memory_order_release);
    g_stop_pipe[1].store(ends[1], std::memory_order_release);
    // A request that came before the pipe existed is only in the flag.
    if (plat_stop_seen())
        plat_stop_note();
    return ends[0];
}

int plat_stop_seen()
{
    return g_stop_seen.load(std::memory_order_relaxed);
}

void plat_stop_clear()
{
    g_stop_seen.store(0, std::memory_order_relaxed);
    const int fd = g_stop_pipe[0].load(std::memory_order_acquire);
    char bytes[64];
    while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
    }
}

bool plat_pause(unsigned seconds, const char* what)
{
    if (seconds == 0)
        return true;
    if (what && seconds >= kPauseLogSeconds && !plat_stop_seen())
        log_msg(LOG_INFO, "waiting %u s for %s", seconds, what);
    return clock_pause_ms(static_cast<long long>(seconds) * 1000);
}
