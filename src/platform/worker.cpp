// SPDX-License-Identifier: BSD-2-Clause
// Worker threads: start with signals blocked, wait on a stop descriptor, join.
#include "platform/worker.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace {

constexpr int kMaxWaited = 4;
// How often a timed wait looks at the test clock.
constexpr int kTestClockSliceMs = 5;

}  // namespace

void Fd::reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd)
        close(fd_);
    fd_ = fd;
}

int Fd::close_now()
{
    const int fd = release();
    return fd >= 0 ? close(fd) : 0;
}

int worker_start(Worker* w, void* (*fn)(void*), void* arg)
{
    w->stop.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!w->stop)
        return errno;
    __atomic_store_n(&w->stopping, 0, __ATOMIC_RELEASE);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int e = pthread_create(&w->thread, nullptr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (e != 0) {
        w->stop.reset();
        return e;
    }
    w->running = true;
    return 0;
}

int worker_stop(Worker* w)
{
    int e = 0;
    if (w->running) {
        __atomic_store_n(&w->stopping, 1, __ATOMIC_RELEASE);
        uint64_t one = 1;
        ssize_t ignored = write(w->stop.get(), &one, sizeof one);
        (void)ignored;
        e = pthread_join(w->thread, nullptr);
        if (e != 0)
            return e;  // the descriptor stays: the worker may still wait on it
        w->running = false;
    }
    w->stop.reset();
    return e;
}

bool worker_stopping(const Worker* w)
{
    return __atomic_load_n(&w->stopping, __ATOMIC_ACQUIRE) != 0;
}

namespace {

// The wait of worker_poll on all[0] (the stop) and the count descriptors
// after it, until end on the service's clock (timeout_ms < 0: no end).
int worker_poll_until(const Worker* w, pollfd* all, int count, int timeout_ms, long long end)
{
    for (;;) {
        if (worker_stopping(w))
            return -2;
        int left = -1;
        // Under the test clock the time runs when the test says: the wait
        // looks at the clock again every slice instead of sleeping it out.
        const bool test_clock = timeout_ms >= 0 && clock_test_running();
        if (timeout_ms >= 0) {
            const long long rest = end - monotonic_ms();
            left = rest > 0 ? static_cast<int>(rest) : 0;
            if (test_clock && left > kTestClockSliceMs)
                left = kTestClockSliceMs;
        }
        const int r = poll(all, static_cast<nfds_t>(count + 1), left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 && test_clock && monotonic_ms() < end)
            continue;
        if (r > 0 && all[0].revents)
            return -2;
        return r;
    }
}

}  // namespace

int worker_poll(const Worker* w, pollfd* fds, int count, int timeout_ms)
{
    if (count > kMaxWaited)
        count = kMaxWaited;
    const long long end = timeout_ms < 0 ? 0 : monotonic_ms() + timeout_ms;
    pollfd all[kMaxWaited + 1];
    all[0] = {w->stop.get(), POLLIN, 0};
    for (int i = 0; i < count; ++i)
        all[i + 1] = fds[i];
    // A wait on the test clock is counted, so that a test can tell when the
    // worker has done what fell due and waits again.
    const int token = timeout_ms >= 0 && clock_test_running() ? clock_test_wait_begin(end) : -1;
    const int r = worker_poll_until(w, all, count, timeout_ms, end);
    clock_test_wait_end(token);
    if (r != -2) {
        for (int i = 0; i < count; ++i)
            fds[i].revents = all[i + 1].revents;
    }
    return r;
}

bool worker_sleep(const Worker* w, int ms)
{
    return worker_poll(w, nullptr, 0, ms) == 0;
}
