// SPDX-License-Identifier: BSD-2-Clause
// How the service's worker threads live: an owning descriptor, and a thread
// started with every signal blocked that waits on a stop descriptor and is
// joined, never cancelled.
#pragma once

#include <poll.h>
#include <pthread.h>

#include "platform/clock.h"

// Owns one descriptor (-1: none) and closes it when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (logging a failing close of a socket is the
    // owner's business: it calls sock_close on release() instead).
    void reset(int fd = -1);
    // Closes the descriptor held now, for an owner that reports a failing
    // close: what close returns (0 when none was held), errno as close left it.
    int close_now();

private:
    int fd_ = -1;
};

struct Worker {
    pthread_t thread;
    bool running;
    int stopping;  // atomic access only
    Fd stop;       // eventfd, readable once worker_stop was called
};

// Creates the stop descriptor and starts fn(arg) with every signal blocked:
// SIGTERM must reach the main thread, whose waits it interrupts. Returns 0 or
// an error number.
int worker_start(Worker* w, void* (*fn)(void*), void* arg);
// Raises the stop, wakes every wait of the worker and joins it; then releases
// the stop descriptor. Harmless on a worker never started. Returns 0 or the
// join's error number.
int worker_stop(Worker* w);
bool worker_stopping(const Worker* w);

// poll over fds (at most 4, negative descriptors skipped) that also ends when
// the worker is told to stop, restarting after a signal with the time left.
// Returns -2 when stopped, else what poll returned (-1 with errno set).
int worker_poll(const Worker* w, pollfd* fds, int count, int timeout_ms);
// Sleeps ms (no limit when negative); false when the worker is to stop.
bool worker_sleep(const Worker* w, int ms);
