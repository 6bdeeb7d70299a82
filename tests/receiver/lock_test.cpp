// SPDX-License-Identifier: BSD-2-Clause
// UUCP lock files against real processes: holders, stale ids, a missing lock directory.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "receiver/link.h"
#include "receiver/lock.h"
#include "receiver/serial.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/in_root.h"

namespace {

using th::dead_pid;
using th::pid_text;

// The lock waits pause on the test clock, which each pause moves to its end:
// the waits are measured in the service's milliseconds, not sat out.
struct PausesAdvance {
    PausesAdvance() { clock_test_start(TestClock::kPausesAdvance); }
    ~PausesAdvance() { clock_test_end(); }
};

TEST(LockFile, NameIsTheLastPathComponent)
{
    char buf[64];
    EXPECT_STREQ(lock_file_path("/dev/ttyUSB3", buf, sizeof buf), "/run/lock/LCK..ttyUSB3");
    EXPECT_STREQ(lock_file_path("ttyS0", buf, sizeof buf), "/run/lock/LCK..ttyS0");
    EXPECT_STREQ(lock_file_path("/dev/", buf, sizeof buf), "/run/lock/LCK..");
    // A name cut to fit could be another port's lock: none is used.
    const std::string longname = "/dev/" + std::string(60, 'x');
    EXPECT_STREQ(lock_file_path(longname.c_str(), buf, sizeof buf), "");
}

TEST(LockFile, ProcessAlive)
{
    EXPECT_EQ(process_alive(0), 0);
    EXPECT_EQ(process_alive(-1), 0);
    EXPECT_EQ(process_alive(getpid()), 1);
    EXPECT_EQ(process_alive(1), 1) << "another user's process counts as alive";
    EXPECT_EQ(process_alive(dead_pid()), 0);
}

TEST(LockFile, FreshAndStaleLocksAreTaken)
{
    const int dead = dead_pid();
    struct Case {
        const char* legend;
        bool exists;
        std::string content;
    };
    const Case cases[] = {
        {"no lock file", false, ""},
        {"empty file", true, ""},
        {"no number", true, "garbage\n"},
        {"dead process", true, pid_text(dead)},
        {"dead process, no padding", true, std::to_string(dead) + "\n"},
        {"negative id", true, "-1\n"},
        {"zero", true, "0\n"},
        {"beyond int range", true, "99999999999\n"},
        {"binary", true, std::string("\x01\x00\xff\n", 4)},
    };
    const mode_t mask = umask(022);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const std::string file = th::lock_of("ttyFRESH");
        unlink(file.c_str());
        if (c.exists)
            th::write_file(file, c.content);
        ASSERT_EQ(lock_device("/dev/ttyFRESH", 2), 1);
        EXPECT_EQ(th::read_file(file), pid_text(getpid()));
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        unlock_device("/dev/ttyFRESH");
        EXPECT_FALSE(th::file_exists(file));
    }
    umask(mask);
}

TEST(LockFile, OurOwnLockCountsAsHeld)
{
    const std::string file = th::lock_of("ttyOWN");
    unlink(file.c_str());
    ASSERT_EQ(lock_device("/dev/ttyOWN", 1), 1);
    PausesAdvance clock;
    const long long t0 = monotonic_ms();
    EXPECT_EQ(lock_device("/dev/ttyOWN", 1), 0);
    const long long took = monotonic_ms() - t0;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 10000);
    EXPECT_EQ(th::read_file(file), pid_text(getpid()));
    unlock_device("/dev/ttyOWN");
}

TEST(LockFile, ChildHoldsTheLockUntilItDies)
{
    const std::string file = th::lock_of("ttyCHILD");
    unlink(file.c_str());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        char got = lock_device("/dev/ttyCHILD", 2) ? '1' : '0';
        ssize_t n = write(ready[1], &got, 1);
        (void)n;
        pause();
        _exit(0);
    }
    close(ready[1]);
    char got = 0;
    ASSERT_EQ(read(ready[0], &got, 1), 1);
    close(ready[0]);
    EXPECT_EQ(got, '1');
    EXPECT_EQ(th::read_file(file), pid_text(child));

    PausesAdvance clock;
    const long long t0 = monotonic_ms();
    EXPECT_EQ(lock_device("/dev/ttyCHILD", 1), 0);
    EXPECT_GE(monotonic_ms() - t0, 900);
    EXPECT_EQ(th::read_file(file), pid_text(child)) << "a live holder's file is left alone";

    kill(child, SIGKILL);
    int st;
    waitpid(child, &st, 0);
    EXPECT_EQ(lock_device("/dev/ttyCHILD", 1), 1) << "the dead holder's lock is reclaimed";
    EXPECT_EQ(th::read_file(file), pid_text(getpid()));
    unlock_device("/dev/ttyCHILD");

    // Unlocking needs no ownership: init's lock goes as well.
    th::write_file(file, pid_text(1));
    unlock_device("/dev/ttyCHILD");
    EXPECT_FALSE(th::file_exists(file));
}

TEST(LockFile, MissingLockDirectoryFailsAfterTheWait)
{
    const std::string dir = th::in_root("/run/lock");
    const std::string away = dir + ".away";
    ASSERT_EQ(rename(dir.c_str(), away.c_str()), 0);
    ReceiverLink link = {};
    th::StderrCapture err;
    PausesAdvance clock;
    const long long t0 = monotonic_ms();
    EXPECT_EQ(link_lock_path(&link, "/dev/ttyUSB9"), -1);
    const long long took = monotonic_ms() - t0;
    EXPECT_STREQ(link.device_path, "/dev/ttyUSB9");
    EXPECT_EQ(err.text(), "gps: err: device(/dev/ttyUSB9) is locked\n");
    EXPECT_GE(took, 4900);
    EXPECT_LT(took, 15000);
    ASSERT_EQ(rename(away.c_str(), dir.c_str()), 0);
    EXPECT_EQ(link_lock_path(&link, "/dev/ttyUSB9"), 0);
    unlock_device("/dev/ttyUSB9");
}

}  // namespace
