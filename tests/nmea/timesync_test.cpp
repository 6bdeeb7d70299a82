// SPDX-License-Identifier: BSD-2-Clause
// Time synchronisation against the clock stand-ins of the simulation root.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core/settings.h"
#include "nmea/timesync.h"
#include "platform/platform.h"
#include "support/harness.h"
#include "support/inproc.h"
#include "support/report.h"

namespace {

// The clock stand-ins and the stamp of the last synchronisation.
const std::string kRtc = th::process_root() + "/dev/rtc", kClock = th::process_root() + "/dev/clock",
                  kStamp = th::process_root() + "/run/gps/timesync_last";

PositionReport fix_report()
{
    PositionReport r{};
    r.updated = 1;
    put(r.fix_quality, "1");
    put(r.rmc_time, "123519.00");
    put(r.date, "230394");
    return r;
}

// One life of the daemon: a child process (so the in-memory stamp starts
// empty, as after a restart) that hands each report to timesync_exec in
// turn. Returns what it logged.
std::string run_daemon(const TimeSyncSettings& settings, const std::vector<PositionReport>& reports)
{
    const std::string log = th::process_root() + "/timesync-stderr.log";
    pid_t pid = fork();
    if (pid == 0) {
        // Never let a test reach the machine's real clock.
        if (!plat_simulated())
            _exit(99);
        FILE* f = std::freopen(log.c_str(), "w", stderr);
        if (!f)
            _exit(98);
        for (const auto& r : reports)
            timesync_exec(&settings, &r);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return th::read_file(log);
}

void reset_files(bool with_rtc)
{
    std::error_code ec;
    std::filesystem::remove_all(kClock, ec);
    unlink(kStamp.c_str());
    unlink(kRtc.c_str());
    if (with_rtc)
        th::write_file(kRtc, "");
}

void write_stamp(long ago)
{
    th::write_file(kStamp, std::to_string(static_cast<unsigned>(time(nullptr) - ago)) + "\n");
}

// Seconds in the stamp file, -1 when there is none.
long stamp()
{
    std::string text = th::read_file(kStamp);
    return text.empty() ? -1 : std::atol(text.c_str());
}

// The build-date floor as built; the cases replay a capture from 1994 below it.
const time_t kBuildFloor = timesync_floor();

class TimeSync : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(plat_simulated()) << "GNSSD_ROOT must be in force before any clock is touched";
        timesync_set_floor(0);
    }
};

TEST_F(TimeSync, ExampleSetsBothClocksOnceAndWritesTheStamp)
{
    reset_files(true);
    const TimeSyncSettings s{1, 60};
    const long before = time(nullptr);
    std::string log = run_daemon(s, {fix_report(), fix_report()});
    EXPECT_EQ(th::read_file(kRtc), "1994-03-23 12:35:19\n");
    EXPECT_EQ(th::read_file(kClock), "764426119\n");
    EXPECT_EQ(log, "gps: notice: time synchronization\n") << "the second sentence is within the period";
    EXPECT_GE(stamp(), before);
    EXPECT_LE(stamp(), time(nullptr));
    EXPECT_EQ(th::read_file(kStamp), std::to_string(stamp()) + "\n");

    // A restart within the period keeps to the stamp in the file.
    EXPECT_EQ(run_daemon(s, {fix_report()}), "");
    EXPECT_EQ(th::read_file(kClock), "764426119\n");
}

TEST_F(TimeSync, PeriodAndPermission)
{
    struct Case {
        const char* legend;
        TimeSyncSettings settings;
        long stamp_ago;  // -1: no stamp file
        void (*edit)(PositionReport*);
        bool syncs;
    } cases[] = {
        {"period 59 never", {1, 59}, -1, [](PositionReport*) {}, false},
        {"disabled", {0, 60}, -1, [](PositionReport*) {}, false},
        {"period 60, 59 s after the stamp", {1, 60}, 59, [](PositionReport*) {}, false},
        {"period 60, 60 s after the stamp", {1, 60}, 60, [](PositionReport*) {}, true},
        {"long period, stamp long ago", {1, 86400}, 86400, [](PositionReport*) {}, true},
        {"stamp a day in the future counts as due", {1, 86400}, -86400, [](PositionReport*) {}, true},
        {"differential fix (quality 2)", {1, 60}, -1, [](PositionReport* r) { put(r->fix_quality, "2"); }, false},
        {"no fix", {1, 60}, -1, [](PositionReport* r) { put(r->fix_quality, "0"); }, false},
        {"fix quality empty", {1, 60}, -1, [](PositionReport* r) { put(r->fix_quality, ""); }, false},
        {"quality 1 with more after it", {1, 60}, -1, [](PositionReport* r) { put(r->fix_quality, "12"); }, true},
        {"sentence not stored", {1, 60}, -1, [](PositionReport* r) { r->updated = 0; }, false},
        {"no RMC time yet", {1, 60}, -1, [](PositionReport* r) { put(r->rmc_time, ""); }, false},
        {"no RMC date yet", {1, 60}, -1, [](PositionReport* r) { put(r->date, ""); }, false},
        {"time without fraction", {1, 60}, -1, [](PositionReport* r) { put(r->rmc_time, "123519"); }, true},
    };
    for (const auto& c : cases) {
        reset_files(true);
        if (c.stamp_ago != -1)
            write_stamp(c.stamp_ago);
        const long old_stamp = stamp();
        PositionReport r = fix_report();
        c.edit(&r);
        run_daemon(c.settings, {r});
        EXPECT_EQ(th::read_file(kClock), c.syncs ? "764426119\n" : "") << c.legend;
        EXPECT_EQ(th::read_file(kRtc), c.syncs ? "1994-03-23 12:35:19\n" : "") << c.legend;
        if (c.syncs) {
            EXPECT_GE(stamp(), time(nullptr) - 5) << c.legend;
        } else {
            EXPECT_EQ(stamp(), old_stamp) << c.legend;
        }
    }
}

TEST_F(TimeSync, FailuresAreLoggedAndStillCountAsAnAttempt)
{
    struct Case {
        const char* legend;
        const char* date;
        const char* time;
        bool rtc;
        bool clock_fails;
        std::string log;
        const char* clock;
    } cases[] = {
        {"impossible day", "320394", "123519.00", true, false,
         "gps: err: timesync_exec - cannot make broken-down time (320394123519)\n", ""},
        {"characters left over", "230394", "12351x", true, false,
         "gps: err: timesync_exec - cannot make broken-down time (23039412351x,x)\n", ""},
        {"no RTC device", "230394", "123519.00", false, false,
         "gps: err: timesync_exec - cannot open /dev/rtc (No such file or directory)\n"
         "gps: notice: time synchronization\n",
         "764426119\n"},
        {"system clock refuses", "230394", "123519.00", true, true,
         "gps: err: timesync_exec - cannot set system time (Is a directory)\n"
         "gps: notice: time synchronization\n",
         nullptr},
        {"after the 2038 rollover of 32-bit seconds", "010140", "000000", true, false,
         "gps: notice: time synchronization\n", "2208988800\n"},
    };
    for (const auto& c : cases) {
        reset_files(c.rtc);
        if (c.clock_fails)
            std::filesystem::create_directory(kClock);
        PositionReport r = fix_report();
        put(r.date, c.date);
        put(r.rmc_time, c.time);
        const long before = time(nullptr);
        EXPECT_EQ(run_daemon({1, 60}, {r, r}), c.log) << c.legend;
        if (c.clock) {
            EXPECT_EQ(th::read_file(kClock), c.clock) << c.legend;
        }
        EXPECT_GE(stamp(), before) << c.legend << ": the stamp advances after a failure";
    }
}

TEST_F(TimeSync, NeverBeforeTheBuildDateNorThroughALink)
{
    reset_files(true);
    timesync_set_floor(kBuildFloor);
    EXPECT_GT(kBuildFloor, 1700000000) << "the floor is the build date";
    // A link planted at the stamp path is replaced, its target untouched.
    const std::string victim = th::process_root() + "/victim";
    th::write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), kStamp.c_str()), 0);
    PositionReport now = fix_report();
    put(now.date, "230336");
    // Two sentences from 1994: refused, said once, no attempt counted; the
    // sound time that follows syncs at once.
    EXPECT_EQ(run_daemon({1, 60}, {fix_report(), fix_report(), now}),
              "gps: warning: timesync_exec - GNSS time (230394123519) is before the build date of this program, "
              "clocks not set\n"
              "gps: notice: time synchronization\n");
    EXPECT_EQ(th::read_file(kClock), "2089888519\n");
    EXPECT_EQ(th::read_file(victim), "precious\n");
}

}  // namespace
