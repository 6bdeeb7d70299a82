// SPDX-License-Identifier: BSD-2-Clause
// AT+GTGPSPOWER driver against a pseudo-terminal module: reversed ports and refusal orders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "drivers/families.h"
#include "pty_peer.h"
#include "receiver/link.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

using peer::lock_of;
using peer::new_link;
using Commands = std::vector<std::string>;
using Replies = std::map<std::string, std::string>;

const Commands kStart = {"ATE0", "AT+GTGPSPOWER=1", "AT+GTSET=\"NMEAEN\",1"};
const std::string kRefused = "\r\nERROR\r\n";
const std::string kEchoMsg = "gps: err: cannot write new value of \"ATE\"";
const std::string kPowerMsg = "gps: err: cannot write new value of \"AT+GTGPSPOWER\"";
const std::string kNmeaMsg = "gps: err: cannot write new value of \"AT+GTSET=\"NMEAEN\"\"";

// Control on ttyUSB7, NMEA on ttyUSB9: the other way round from the other families.
struct Module : peer::AtModule {
    explicit Module(Replies replies) : AtModule("/dev/ttyUSB7", "/dev/ttyUSB9", std::move(replies)) {}
};

TEST(GtgpsDriver, StartsOnTtyUSB9AndSwitchesPowerOff)
{
    th::process_root();
    auto link = new_link();
    {
        Module module(Replies{});
        ASSERT_EQ(gtgps_open(link.get()), 0);
        EXPECT_EQ(module.control.commands(), kStart);
        EXPECT_STREQ(link->device_path, "/dev/ttyUSB9");
        struct stat a, b;
        ASSERT_EQ(fstat(link->fd, &a), 0);
        ASSERT_EQ(stat((th::process_root() + "/dev/ttyUSB9").c_str(), &b), 0);
        EXPECT_EQ(a.st_rdev, b.st_rdev);
        EXPECT_TRUE(th::file_exists(lock_of("ttyUSB9")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    }
    Module module(Replies{{"AT+GTGPSPOWER=0", kRefused}});
    th::StderrCapture log;
    gtgps_close(link.get());
    EXPECT_EQ(module.control.commands(), Commands{"AT+GTGPSPOWER=0"});
    EXPECT_EQ(th::count_of(log.text(), kPowerMsg), 1);
    EXPECT_EQ(link->fd, -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB9")));
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));

    gtgps_close(link.get());
    EXPECT_EQ(module.control.commands(), Commands{"AT+GTGPSPOWER=0"});
}

// Every refusal still sends all three commands; the errors come in command
// order and the start fails without touching the data port.
TEST(GtgpsDriver, RefusalsStillSendEveryCommand)
{
    th::process_root();
    struct Case {
        const char* legend;
        Replies replies;
        std::vector<std::string> logged;
    } cases[] = {
        {"echo off refused", {{"ATE0", kRefused}}, {kEchoMsg}},
        {"power refused", {{"AT+GTGPSPOWER=1", kRefused}}, {kPowerMsg}},
        {"power and output refused",
         {{"AT+GTGPSPOWER=1", kRefused}, {"AT+GTSET=\"NMEAEN\",1", kRefused}},
         {kPowerMsg, kNmeaMsg}},
        {"output refused", {{"AT+GTSET=\"NMEAEN\",1", kRefused}}, {kNmeaMsg}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        auto link = new_link();
        Module module(c.replies);
        th::StderrCapture log;
        EXPECT_EQ(gtgps_open(link.get()), -1);
        EXPECT_EQ(module.control.commands(), kStart);
        const std::string text = log.text();
        EXPECT_EQ(th::count_of(text, "gps: err:"), static_cast<int>(c.logged.size())) << text;
        std::size_t at = 0;
        for (const auto& line : c.logged) {
            at = text.find(line, at);
            EXPECT_NE(at, std::string::npos) << line;
        }
        EXPECT_EQ(link->fd, -1);
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB9")));
    }
}

// A port that cannot be opened gives its lock back: the control port before
// anything is sent, the data port after the module was switched on.
TEST(GtgpsDriver, PortsThatCannotOpenReleaseTheirLocks)
{
    th::process_root();
    {
        SCOPED_TRACE("control port missing");
        auto link = new_link();
        th::StderrCapture log;
        EXPECT_EQ(gtgps_open(link.get()), -1);
        EXPECT_EQ(th::count_of(log.text(), "gps: err: open(/dev/ttyUSB7) error: No such file or directory"), 2)
            << log.text();
        EXPECT_EQ(link->fd, -1);
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
    }
    {
        SCOPED_TRACE("data port missing");
        peer::AtPort control{"/dev/ttyUSB7"};
        control.start();
        auto link = new_link();
        th::StderrCapture log;
        EXPECT_EQ(gtgps_open(link.get()), -1);
        EXPECT_EQ(control.commands(), kStart);
        EXPECT_EQ(th::count_of(log.text(), "gps: err: open(/dev/ttyUSB9) error: No such file or directory"), 1)
            << log.text();
        EXPECT_EQ(link->fd, -1);
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB7")));
        EXPECT_FALSE(th::file_exists(lock_of("ttyUSB9")));
    }
}

}  // namespace
