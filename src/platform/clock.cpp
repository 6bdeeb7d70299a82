// SPDX-License-Identifier: BSD-2-Clause
// The monotonic clock that every duration of the service is measured on, and
// the one pause that every wait of the service takes.
#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "platform/stop.h"

namespace {

// A pause looks at the stop flag this often: a stop request ends it within
// this time.
constexpr long long kPauseSliceMs = 100;

std::atomic<bool> g_test_running{false};
std::atomic<long long> g_test_now{0};
std::atomic<unsigned long> g_test_pauses{0};
TestClock g_test_mode = TestClock::kPausesAdvance;
std::mutex g_test_lock;
std::condition_variable g_test_moved;
ClockTestHook g_test_hook = nullptr;  // guarded by g_test_lock
void* g_test_hook_arg = nullptr;
// The ends of the waits under way; 0: a free slot. Guarded by g_test_lock.
constexpr int kTestWaitSlots = 32;
long long g_test_wait_ends[kTestWaitSlots] = {};

// With g_test_lock held.
int wait_slot_take(long long end_ms)
{
    for (int i = 0; i < kTestWaitSlots; ++i) {
        if (g_test_wait_ends[i] == 0) {
            g_test_wait_ends[i] = end_ms > 0 ? end_ms : 1;
            return i;
        }
    }
    return -1;
}

void wait_slot_free(int token)
{
    if (token >= 0 && token < kTestWaitSlots)
        g_test_wait_ends[token] = 0;
}

long long real_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool real_pause(long long ms, bool stoppable)
{
    const long long end = real_ms() + ms;
    for (;;) {
        if (stoppable && plat_stop_seen())
            return false;
        const long long left = end - real_ms();
        if (left <= 0)
            return true;
        const long long slice = left < kPauseSliceMs ? left : kPauseSliceMs;
        timespec ts = {static_cast<time_t>(slice / 1000), static_cast<long>(slice % 1000) * 1000000L};
        // A signal ends the sleep early (EINTR); the loop then looks again.
        (void)nanosleep(&ts, nullptr);
    }
}

bool test_pause(long long ms, bool stoppable)
{
    std::unique_lock<std::mutex> lock(g_test_lock);
    const long long end = g_test_now.load() + ms;
    if (g_test_mode == TestClock::kPausesAdvance) {
        if (stoppable && plat_stop_seen())
            return false;
        if (g_test_now.load() < end)
            g_test_now.store(end);
        ++g_test_pauses;
        g_test_moved.notify_all();
        const ClockTestHook hook = g_test_hook;
        void* const arg = g_test_hook_arg;
        lock.unlock();
        if (hook)
            hook(end, arg);
        return true;
    }
    const int token = wait_slot_take(end);
    bool ended = false;
    for (;;) {
        if (stoppable && plat_stop_seen())
            break;
        if (!g_test_running.load() || g_test_now.load() >= end) {
            ++g_test_pauses;
            g_test_moved.notify_all();
            ended = true;
            break;
        }
        // The stop flag is set from signal handlers, which cannot notify:
        // look again now and then.
        g_test_moved.wait_for(lock, std::chrono::milliseconds(20));
    }
    wait_slot_free(token);
    return ended;
}

}  // namespace

long long monotonic_ms()
{
    if (g_test_running.load(std::memory_order_acquire))
        return g_test_now.load(std::memory_order_acquire);
    return real_ms();
}

time_t monotonic_seconds()
{
    return static_cast<time_t>(monotonic_ms() / 1000);
}

long long clock_real_ms()
{
    return real_ms();
}

time_t clock_wall_seconds()
{
    return time(nullptr);
}

long long clock_wall_ms()
{
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec <= 0)
        return 0;
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int clock_poll_real(pollfd* fds, nfds_t count, int timeout_ms)
{
    const long long end = real_ms() + timeout_ms;
    for (int wait = timeout_ms;;) {
        const int r = poll(fds, count, wait);
        if (r >= 0 || errno != EINTR)
            return r;
        if (timeout_ms >= 0) {
            const long long left = end - real_ms();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

bool clock_pause_ms(long long ms, bool stoppable)
{
    if (ms <= 0)
        return !stoppable || !plat_stop_seen();
    if (g_test_running.load(std::memory_order_acquire))
        return test_pause(ms, stoppable);
    return real_pause(ms, stoppable);
}

int clock_poll(pollfd* fds, nfds_t count, int timeout_ms)
{
    if (timeout_ms <= 0 || !g_test_running.load(std::memory_order_acquire))
        return poll(fds, count, timeout_ms);
    if (g_test_mode == TestClock::kPausesAdvance) {
        int real = timeout_ms / 4 > kClockPollRealMs ? kClockPollRealMs : timeout_ms / 4;
        const int r = poll(fds, count, real > 0 ? real : 1);
        if (r == 0) {
            std::lock_guard<std::mutex> lock(g_test_lock);
            g_test_now.fetch_add(timeout_ms);
            g_test_moved.notify_all();
        }
        return r;
    }
    const long long end = monotonic_ms() + timeout_ms;
    for (;;) {
        const long long rest = end - monotonic_ms();
        if (rest <= 0 || !g_test_running.load(std::memory_order_acquire))
            return 0;
        const int r = poll(fds, count, rest < 20 ? static_cast<int>(rest) : 20);
        if (r != 0)
            return r;
    }
}

void clock_test_start(TestClock mode, long long start_ms)
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    g_test_mode = mode;
    g_test_now.store(start_ms);
    g_test_pauses.store(0);
    g_test_running.store(true, std::memory_order_release);
}

void clock_test_advance(long long ms)
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    g_test_now.fetch_add(ms);
    g_test_moved.notify_all();
}

void clock_test_end()
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    g_test_running.store(false, std::memory_order_release);
    g_test_hook = nullptr;
    g_test_moved.notify_all();
}

void clock_test_on_pause(ClockTestHook hook, void* arg)
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    g_test_hook = hook;
    g_test_hook_arg = arg;
}

bool clock_test_running()
{
    return g_test_running.load(std::memory_order_acquire);
}

unsigned long clock_test_pauses()
{
    return g_test_pauses.load();
}

int clock_test_wait_begin(long long end_ms)
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    return wait_slot_take(end_ms);
}

void clock_test_wait_end(int token)
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    wait_slot_free(token);
}

int clock_test_waits_ahead()
{
    std::lock_guard<std::mutex> lock(g_test_lock);
    const long long now = g_test_now.load();
    int ahead = 0;
    for (long long end : g_test_wait_ends)
        ahead += end > now ? 1 : 0;
    return ahead;
}
