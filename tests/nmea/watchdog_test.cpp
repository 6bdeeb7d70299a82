// SPDX-License-Identifier: BSD-2-Clause
// The fix watchdog: which sentences refresh it, when it expires, and a run through the reader on the test clock.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>

#include "nmea_support.h"

namespace {

constexpr time_t kSuspended = -1000000;  // marks "last_fix_time = -1" in the table

struct ExpiryCase {
    const char* legend;
    uint32_t enabled;
    uint32_t timeout;
    time_t age;  // seconds since the last fix
    int expected;
    const char* log;
};

TEST(Watchdog, Expiry)
{
    const ExpiryCase cases[] = {
        {"disabled never expires", 0, 1, 100000, 0, nullptr},
        {"suspended without a stamp", 1, 1, kSuspended, 0, nullptr},
        {"exactly the timeout is still in time", 1, 600, 600, 0, nullptr},
        {"one second more expires", 1, 600, 601, -2,
         "gps: warning: no location data from GPS within 10 minutes, force restart"},
        {"minutes are whole", 1, 90, 91, -2, "within 1 minutes, force restart"},
        {"under a minute", 1, 1, 2, -2, "within 0 minutes, force restart"},
        {"a clock stepped back does not expire", 1, 60, -3600, 0, nullptr},
    };
    th::TestClockRun clock;  // the watchdog's clock runs only when the test moves it
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        nt::Link link;
        link.watchdog_enabled = c.enabled;
        link.watchdog_timeout = c.timeout;
        const time_t now = monotonic_seconds();
        link.last_fix_time = c.age == kSuspended ? -1 : now - c.age;
        th::StderrCapture err;
        EXPECT_EQ(location_watchdog(&link, &link), c.expected);
        if (c.log) {
            EXPECT_NE(err.text().find(c.log), std::string::npos) << err.text();
        } else {
            EXPECT_EQ(err.text(), "");
        }
    }
}

struct RefreshCase {
    const char* legend;
    uint32_t enabled;
    std::string sentence;
    bool refreshed;
};

TEST(Watchdog, WhatRefreshesTheStamp)
{
    const RefreshCase cases[] = {
        {"GGA with fix", 1, "$GPGGA,1,4807.038,N,01131.000,E,1,08,,,,,,,", true},
        {"GGA with DGPS fix", 1, "$GPGGA,1,4807.038,N,01131.000,E,2,08,,,,,,,", true},
        {"GGA without fix", 1, "$GPGGA,1,4807.038,N,01131.000,E,0,08,,,,,,,", false},
        {"GGA with fix but no latitude", 1, "$GPGGA,1,,N,01131.000,E,1,08,,,,,,,", false},
        {"GGA with fix but no longitude", 1, "$GPGGA,1,4807.038,N,,E,1,08,,,,,,,", false},
        {"GNS with a fix of one system", 1, "$GLGNS,1,4807.038,N,01131.000,E,NA,08,,,,,", true},
        {"GNS without a fix in any system", 1, "$GLGNS,1,4807.038,N,01131.000,E,NN,08,,,,,", false},
        {"RMC never", 1, "$GPRMC,1,A,4807.038,N,01131.000,E,1.0,1.0,010120,,,A", false},
        {"watchdog disabled", 0, "$GPGGA,1,4807.038,N,01131.000,E,1,08,,,,,,,", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        nt::Link link;
        link.watchdog_enabled = c.enabled;
        link.watchdog_timeout = 60;
        link.last_fix_time = 1000;
        nt::frame(link, nt::with_cs(c.sentence));
        EXPECT_EQ(nmea_interpret(&link, &link), 1);
        EXPECT_EQ(link.last_fix_time != 1000, c.refreshed);
    }
}

// Sends one sentence every 100 ms of the test clock until told to stop, like
// a receiver at 10 Hz: the clock moves on when the reader has taken the
// previous one, so that the reader sees every sentence at its own time.
struct Feeder {
    int sv[2] = {-1, -1};
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit Feeder(const std::string& sentence)
    {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            return;
        thread = std::thread([this, sentence] {
            while (!stop) {
                int unread = 0;
                if (ioctl(sv[0], FIONREAD, &unread) != 0)
                    break;
                if (unread > 0) {
                    std::this_thread::yield();
                    continue;
                }
                clock_test_advance(100);
                if (write(sv[1], sentence.data(), sentence.size()) < 0)
                    break;
            }
        });
    }
    ~Feeder()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        close(sv[0]);
        close(sv[1]);
    }
};

// Runs the reader like the main loop until it fails or the time is up on the
// test clock; the failing result or 0.
int run_reader(nt::Link& link, long long limit_ms)
{
    const long long end = monotonic_ms() + limit_ms;
    while (monotonic_ms() < end) {
        const int n = nt::step(link);
        if (n < 0)
            return n;
        if (n > 0)
            nmea_consume(&link);
    }
    return 0;
}

// A receiver without a fix is restarted once the timeout has passed; one
// with fixes runs on.
TEST(Watchdog, RestartsAReceiverWithoutFixAndKeepsOneWithFixes)
{
    struct Case {
        const char* legend;
        std::string sentences;
        long long limit_ms;
        int result;
    } cases[] = {
        {"no fix",
         nt::with_cs("$GPGGA,1,,,,,0,00,,,,,,,") + nt::with_cs("$GPRMC,1,A,4807.038,N,01131.000,E,1.0,1.0,010120,,,A"),
         10000, -2},
        {"fixes", nt::with_cs("$GPGGA,1,4807.038,N,01131.000,E,1,08,,,,,,,"), 2500, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        th::TestClockRun clock;
        Feeder feeder(c.sentences);
        nt::Link link;
        link.fd = feeder.sv[0];
        link.watchdog_enabled = 1;
        link.watchdog_timeout = 1;
        link.last_fix_time = monotonic_seconds();
        th::StderrCapture err;
        EXPECT_EQ(run_reader(link, c.limit_ms), c.result);
        EXPECT_EQ(err.text().find("gps: warning: no location data from GPS within 0 minutes, force restart") !=
                      std::string::npos,
                  c.result != 0)
            << err.text();
    }
}

}  // namespace
