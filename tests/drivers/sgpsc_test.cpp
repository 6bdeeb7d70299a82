// SPDX-License-Identifier: BSD-2-Clause
// AT^SGPSC driver against a pseudo-terminal module: command sequences, identity flags, ports and locks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "drivers/families.h"
#include "platform/platform.h"
#include "pty_peer.h"
#include "receiver/link.h"
#include "receiver/serial.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

using peer::lock_of;
using peer::new_link;
using Commands = std::vector<std::string>;
using Replies = std::map<std::string, std::string>;

const std::string kAntennaQuery = "AT^SGPSC=\"Power/Antenna\"";
const std::string kAntennaOn = "\r\n^SGPSC: \"Power/Antenna\",\"on\"\r\n\r\nOK\r\n";
const std::string kAntennaOff = "\r\n^SGPSC: \"Power/Antenna\",\"off\"\r\n\r\nOK\r\n";

std::string ident(const std::string& model)
{
    return "\r\n" + model + "\r\nREVISION 01.000\r\n\r\nOK\r\n";
}

// The module's three ttys: control on ttyUSB8, NMEA on ttyUSB7 or ttyUSB9.
struct Module {
    peer::AtPort control{"/dev/ttyUSB8"};
    peer::Pty usb7{"/dev/ttyUSB7"};
    peer::Pty usb9{"/dev/ttyUSB9"};
    std::mutex mutex;
    std::vector<long long> times;  // arrivals on the service's clock, ms

    // stop_at: the command on whose arrival the service is asked to stop.
    explicit Module(Replies replies, std::string stop_at = "")
    {
        control.replies = std::move(replies);
        control.on_command = [this, stop_at](const std::string& command) {
            if (command == stop_at)
                plat_stop_note();
            std::lock_guard lock(mutex);
            times.push_back(monotonic_ms());
        };
        control.start();
    }
};

bool same_tty(int fd, const std::string& router_path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat((th::process_root() + router_path).c_str(), &b) == 0 && a.st_rdev == b.st_rdev;
}

const Commands kStop = {"AT^SGPSC=\"Engine\",\"0\"", "AT^SGPSC=\"Nmea/Output\",\"off\"",
                        "AT^SGPSC=\"Power/Antenna\",\"off\""};

// A PLS83 takes the interface commands, pauses before the engine, streams on
// ttyUSB9; its stop switches engine, output and antenna off in that order.
TEST(SgpscDriver, Pls83StartsOnTtyUSB9AndStopsInOrder)
{
    th::process_root();
    is_pls8 = 0;
    is_pls83 = 0;
    auto link = new_link();
    {
        Module module(Replies{{"ATI", ident("PLS83-W")}, {kAntennaQuery, kAntennaOn}});
        ASSERT_EQ(sgpsc_open(link.get()), 0);
        EXPECT_EQ(module.control.commands(),
                  (Commands{"ATI", kAntennaQuery, "AT^SGPSC=\"Nmea/Interface\",\"3\"", "AT^SGPSC=\"Nmea/GPS\",\"on\"",
                            "AT^SGPSC=\"Nmea/Output\",\"on\"", "AT^SGPSC=\"Engine\",\"1\""}));
        EXPECT_EQ(is_pls8, 1);
        EXPECT_EQ(is_pls83, 1);
        {
            std::lock_guard lock(module.mutex);
            ASSERT_EQ(module.times.size(), 6u);
            EXPECT_GE(module.times[5] - module.times[4], 4900);
        }
        EXPECT_STREQ(link->device_path, "/dev/ttyUSB9");
        ASSERT_GE(link->fd, 0);
        EXPECT_TRUE(same_tty(link->fd, "/dev/ttyUSB9"));
        EXPECT_EQ(th::read_file(lock_of("ttyUSB9")), th::pid_text(getpid()));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));

        // The engine's port is taken as it is and carries the stream.
        module.usb9.send("$GPGGA,1*00\r\n");
        char buf[64] = {};
        ASSERT_TRUE(th::wait_until([&] { return read(link->fd, buf, sizeof buf - 1) > 0; }, std::chrono::seconds(2)));
        EXPECT_NE(std::string(buf).find("$GPGGA"), std::string::npos);
    }
    // The stop comes with a stop request while another program holds the
    // control port for a moment (a router shutting down): it waits for the
    // lock and switches the engine off all the same.
    Module module(Replies{});
    th::Process holder;
    holder.start({"sleep", "60"}, {}, th::process_root() + "/holder.log");
    th::write_file(lock_of("ttyUSB8"), th::pid_text(holder.pid));
    // The holder goes away one second (on the service's clock) into the wait.
    struct Release {
        th::Process* holder;
        long long at;
    } release{&holder, monotonic_ms() + 1000};
    clock_test_on_pause(
        [](long long now, void* arg) {
            auto* r = static_cast<Release*>(arg);
            if (now >= r->at && r->holder->pid > 0 && r->holder->status == -1)
                r->holder->stop(SIGKILL, std::chrono::seconds(2));
        },
        &release);
    plat_stop_note();
    sgpsc_close(link.get());
    plat_stop_clear();
    clock_test_on_pause(nullptr, nullptr);
    EXPECT_NE(holder.status, -1) << "the stop waited for the holder";
    EXPECT_EQ(module.control.commands(), kStop);
    EXPECT_EQ(link->fd, -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB9")));
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));

    // A second stop finds no open port: nothing is sent, no lock is touched.
    th::write_file(lock_of("ttyUSB8"), "   1\n");
    sgpsc_close(link.get());
    EXPECT_EQ(module.control.commands(), kStop);
    EXPECT_EQ(th::read_file(lock_of("ttyUSB8")), "   1\n");
    unlink(lock_of("ttyUSB8").c_str());
}

// A stop request during the start ends it at its next pause (the PLS8's wait
// before the engine); the stop rows then leave the module as at any shutdown.
TEST(SgpscDriver, StopRequestEndsTheStartAtItsNextPause)
{
    th::process_root();
    auto link = new_link();
    {
        Module module(Replies{{"ATI", ident("PLS8-E")}, {kAntennaQuery, kAntennaOn}},
                      "AT^SGPSC=\"Nmea/Output\",\"on\"");
        EXPECT_EQ(sgpsc_open(link.get()), -1);
        Commands want = {"ATI", kAntennaQuery, "AT^SGPSC=\"Nmea/Output\",\"on\""};
        want.insert(want.end(), kStop.begin(), kStop.end());
        EXPECT_EQ(module.control.commands(), want);
        std::lock_guard lock(module.mutex);
        EXPECT_LT(module.times.back() - module.times.front(), 2000) << "the pause was sat out";
    }
    EXPECT_EQ(link->fd, -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    plat_stop_clear();
}

// The identity alone decides the conditional commands, the pause and the port.
TEST(SgpscDriver, IdentityVariantsChooseCommandsAndPort)
{
    th::process_root();
    struct Case {
        const char* legend;
        std::string model;
        std::string antenna;
        Commands sent;
        bool pause;
        int pls8;
    } cases[] = {
        {"PLS8 with the antenna supply off",
         "PLS8-E",
         kAntennaOff,
         {"ATI", kAntennaQuery, "AT^SGPSC=\"Power/Antenna\",\"on\"", "AT^SGPSC=\"Nmea/Output\",\"on\"",
          "AT^SGPSC=\"Engine\",\"1\""},
         true,
         1},
        {"another member with the antenna supply on",
         "ALS3-E",
         kAntennaOn,
         {"ATI", "AT^SGPSC=\"Power/Psm\",\"1\"", "AT^SGPSC=\"Power/Odm\",\"0\"", kAntennaQuery,
          "AT^SGPSC=\"Nmea/Output\",\"on\"", "AT^SGPSC=\"Nmea/Freq\",\"1\"", "AT^SGPSC=\"Engine\",\"1\""},
         false,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        is_pls83 = 1;
        auto link = new_link();
        Module module(Replies{{"ATI", ident(c.model)}, {kAntennaQuery, c.antenna}});
        ASSERT_EQ(sgpsc_open(link.get()), 0);
        EXPECT_EQ(module.control.commands(), c.sent);
        EXPECT_EQ(is_pls8, c.pls8);
        EXPECT_EQ(is_pls83, 0);
        if (c.pause) {
            std::lock_guard lock(module.mutex);
            ASSERT_EQ(module.times.size(), c.sent.size());
            EXPECT_GE(module.times.back() - module.times[module.times.size() - 2], 4900);
        }
        EXPECT_STREQ(link->device_path, "/dev/ttyUSB7");
        EXPECT_TRUE(same_tty(link->fd, "/dev/ttyUSB7"));
        EXPECT_TRUE(th::file_exists(lock_of("ttyUSB7")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB8")));
        sgpsc_close(link.get());
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    }
}

// Failed starts and stops: what is sent, what is logged, and that no port
// stays open or locked.
TEST(SgpscDriver, FailuresEndEarlyAndLeaveNothingBehind)
{
    th::process_root();
    // Descriptors of this process: a failed start or a stop leaves none behind.
    auto fd_count = [] {
        int n = 0;
        for (auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
            n += e.exists() ? 1 : 0;
        return n;
    };
    const int fds_before = fd_count();
    {
        SCOPED_TRACE("identity refused: the flags keep their values");
        is_pls8 = 1;
        is_pls83 = 0;
        auto link = new_link();
        Module module(Replies{{"ATI", "\r\nERROR\r\n"}});
        th::StderrCapture log;
        EXPECT_EQ(sgpsc_open(link.get()), -1);
        EXPECT_EQ(module.control.commands(), Commands{"ATI"});
        EXPECT_NE(log.text().find("gps: err: cannot determine module type (\"\\r\\nERROR\\r\\n\")"), std::string::npos);
        EXPECT_EQ(is_pls8, 1);
        EXPECT_EQ(is_pls83, 0);
        EXPECT_EQ(link->fd, -1);
    }
    {
        SCOPED_TRACE("silent antenna query: empty reply in the message");
        auto link = new_link();
        Module module(Replies{{"ATI", ident("PLS8-E")}, {kAntennaQuery, ""}});
        th::StderrCapture log;
        EXPECT_EQ(sgpsc_open(link.get()), -1);
        EXPECT_EQ(module.control.commands(), (Commands{"ATI", kAntennaQuery}));
        EXPECT_NE(log.text().find("gps: err: cannot get Power/Antenna configuration (\"\")"), std::string::npos);
    }
    {
        SCOPED_TRACE("control port locked by another live process");
        th::Process holder;
        holder.start({"sleep", "60"}, {}, th::process_root() + "/holder.log");
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder.pid));
        th::write_file(lock_of("ttyUSB8"), text);
        auto link = new_link();
        Module module(Replies{});
        th::StderrCapture log;
        EXPECT_EQ(sgpsc_open(link.get()), -1);
        EXPECT_TRUE(module.control.commands().empty());
        EXPECT_NE(log.text().find("gps: err: device(/dev/ttyUSB8) is locked"), std::string::npos);
        EXPECT_EQ(th::read_file(lock_of("ttyUSB8")), text);
        unlink(lock_of("ttyUSB8").c_str());
        holder.stop(SIGKILL, std::chrono::seconds(2));
    }
    {
        SCOPED_TRACE("stop with the engine refused sends nothing after it");
        auto link = new_link();
        Module module(Replies{{"AT^SGPSC=\"Engine\",\"0\"", "\r\n+CME ERROR: 4\r\n"}});
        ASSERT_EQ(lock_device("/dev/ttyUSB7", 1), 1);
        link->device_path = "/dev/ttyUSB7";
        link->fd = open((th::process_root() + "/dev/ttyUSB7").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(link->fd, 0);
        th::StderrCapture log;
        sgpsc_close(link.get());
        EXPECT_EQ(module.control.commands(), Commands{"AT^SGPSC=\"Engine\",\"0\""});
        EXPECT_NE(log.text().find("gps: err: cannot disable Engine (\"\\r\\n+CME ERROR: 4\\r\\n\")"),
                  std::string::npos);
    }
    for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB9"})
        EXPECT_FALSE(th::file_exists(lock_of(tty))) << tty;
    EXPECT_EQ(fd_count(), fds_before);
}

}  // namespace
