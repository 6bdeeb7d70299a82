// SPDX-License-Identifier: BSD-2-Clause
// The service's one clock for durations and its one pause.
#pragma once

#include <poll.h>

#include <ctime>

// Monotonic milliseconds, never stepped by a change of the system time.
// Under the test clock: the test clock's reading.
long long monotonic_ms();
// The same clock in whole seconds.
time_t monotonic_seconds();
// The real monotonic clock whatever the test clock says: for what runs
// outside the service and its test clock (a router tool's time limit, the
// operator's tool waiting for the service's answer, the kernel moving bytes).
long long clock_real_ms();
// The system time in seconds since the epoch (may be stepped): time stamps
// of log lines and messages, and the moment of the last clock setting.
time_t clock_wall_seconds();
// The same in milliseconds; 0 when the system time cannot be read or lies
// before the epoch.
long long clock_wall_ms();

// Waits ms milliseconds unless a stop request comes first: true when the
// whole time passed, false when it was cut short (also when the stop came
// before the call). Every sleep of the service goes through here. The few
// waits that a stop must not shorten (the pauses between the commands that
// switch a module's engine off) pass stoppable false and always return true.
bool clock_pause_ms(long long ms, bool stoppable = true);

// poll(2) with its wait measured on the service's clock: the waits for a
// module's reply and for the quiet after it. Under the test clock with
// pauses advancing, a peer of the test answers at once or not at all, so a
// quarter of the wait (at most kClockPollRealMs of real time) stands for
// all of it and the clock then moves on by the whole wait; with the test
// advancing, the wait lasts until the test has carried the clock past it.
constexpr int kClockPollRealMs = 250;
int clock_poll(pollfd* fds, nfds_t count, int timeout_ms);
// poll(2) on the real clock (clock_real_ms), restarted after a signal with
// the time left; a negative timeout waits without limit. What poll returns.
int clock_poll_real(pollfd* fds, nfds_t count, int timeout_ms);

// The test clock, for unit tests that would otherwise sit out real seconds.
// While it runs, monotonic_ms reads a counter that only moves when told to.
// How a pause behaves under it:
//   kPausesAdvance: the pause moves the clock to its own end and returns at
//     once (one thread whose waits are all pauses: the drivers' sequences);
//   kTestAdvances: the pause waits until clock_test_advance has carried the
//     clock to its end or a stop is requested (worker threads paced by a
//     test).
enum class TestClock { kPausesAdvance, kTestAdvances };
void clock_test_start(TestClock mode, long long start_ms = 1'000'000);
void clock_test_advance(long long ms);
// Back to the monotonic clock; pauses still waiting are let go.
void clock_test_end();
bool clock_test_running();
// Called with the new reading each time a pause has moved the test clock
// (kPausesAdvance), from the pausing thread: lets a test make something
// happen at a moment of the clock (a lock holder going away). nullptr: none.
using ClockTestHook = void (*)(long long now_ms, void* arg);
void clock_test_on_pause(ClockTestHook hook, void* arg);
// Pauses that have ended under the test clock, so that a test can wait for a
// worker to reach its next pause before advancing again.
unsigned long clock_test_pauses();
// Waits of worker threads on the test clock (kTestAdvances), so that a test
// can advance and then wait until every worker has done what fell due and
// waits again. begin returns a token for end (-1: not counted).
int clock_test_wait_begin(long long end_ms);
void clock_test_wait_end(int token);
// Waits under way that end later than the test clock reads now.
int clock_test_waits_ahead();
