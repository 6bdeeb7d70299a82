// SPDX-License-Identifier: BSD-2-Clause
// In-process test support: the one simulation root of a test process and a
// capture of the standard-error log mirror.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace th {

// The simulation root of this test process. The daemon's code reads
// GNSSD_ROOT once, so every in-process test of one program shares this root:
// the GNSSD_ROOT already set, or a temporary one set before first use.
// The directories of make_root_dirs exist.
const std::string& process_root();

// Redirects standard error (where the log mirror goes) to a file while alive.
struct StderrCapture {
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Everything written to standard error so far.
    std::string text() const;

private:
    int saved_fd_ = -1;
    std::string path_;
};

// Runs the service clock as the test clock, moved on by the test
// (TestClock::kTestAdvances), for as long as it lives: the clock is ended
// however the test leaves, a failed assertion included.
struct TestClockRun {
    explicit TestClockRun(long long start_ms = 1'000'000);
    ~TestClockRun();
    TestClockRun(const TestClockRun&) = delete;
    TestClockRun& operator=(const TestClockRun&) = delete;
};

// Looks at pred every millisecond for up to real time: true once it holds.
// The short wait after a step of the test clock in which the workers act on
// it.
bool settle(const std::function<bool()>& pred, std::chrono::milliseconds real);

// Moves the test clock on by ms, then waits (up to 10 s of real time) until
// `workers` worker threads have done what fell due and wait again, however
// slow the run: false when they did not.
bool advance_settled(long long ms, int workers = 1);

}  // namespace th
