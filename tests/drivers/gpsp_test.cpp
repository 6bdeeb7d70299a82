// SPDX-License-Identifier: BSD-2-Clause
// AT$GPSP family in process: readiness check, both variants' command sets, refused stop.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drivers/families.h"
#include "pty_peer.h"
#include "receiver/link.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

const ModuleDriver* row_of(uint32_t usb_id)
{
    for (const ModuleDriver* row = kDriverTable; row->board_code >= 0; ++row)
        if (row->usb_id == usb_id)
            return row;
    return nullptr;
}

std::string root_path(const std::string& router_path)
{
    return th::process_root() + router_path;
}

void set_mwan_state(const char* text)
{
    const std::string path = root_path("/run/ppp/iface-m0.state");
    if (text)
        th::write_file(path, text);
    else
        std::remove(path.c_str());
}

bool no_locks()
{
    for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB10"})
        if (th::file_exists(root_path(std::string("/run/lock/LCK..") + tty)))
            return false;
    return true;
}

const std::vector<std::string> kStartA = {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0", "AT$GPSAT=1", "AT$GPSP=1"};
const std::vector<std::string> kStopA = {"AT$GPSP=0", "AT$GPSAT=0", "AT$GPSR=3"};
const std::vector<std::string> kStartB = {"ATE0", "AT#LOCNMEATYPE=1,134217215", "AT$GPSNMUN=2,1,0,0,0,1,0",
                                          "AT$GPSANTPORT=3", "AT$GPSP=1"};
const std::vector<std::string> kStopB = {"AT$GPSP=0", "AT$GPSAT=0", "AT$GPSNVRAM=15,0"};

TEST(GpspDriver, ReadinessDecidesBeforeAnyPortIsTouched)
{
    th::process_root();
    struct Case {
        const char* legend;
        bool port_present;
        const char* state;  // nullptr: no state file
        const char* trace;
        bool proceeds;
    };
    const Case cases[] = {
        {"control port missing", false, "Connected", "/dev/ttyUSB8 serial_ready: 0, MWAN ready: 0, MWAN module on=1",
         false},
        {"module being prepared", true, "Preparing\n", "/dev/ttyUSB8 serial_ready: 1, MWAN ready: 0, MWAN module on=1",
         false},
        {"module initializing", true, "Initializing\r\n",
         "/dev/ttyUSB8 serial_ready: 1, MWAN ready: 0, MWAN module on=1", false},
        {"no state file", true, nullptr, "/dev/ttyUSB8 serial_ready: 1, MWAN ready: 0, MWAN module on=0", true},
        {"empty state file", true, "", "/dev/ttyUSB8 serial_ready: 1, MWAN ready: 0, MWAN module on=0", true},
        {"connection up", true, "Connected\n", "/dev/ttyUSB8 serial_ready: 1, MWAN ready: 1, MWAN module on=1", true},
    };
    peer::Pty data("/dev/ttyUSB7");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        set_mwan_state(c.state);
        std::unique_ptr<peer::AtPort> control;
        if (c.port_present) {
            control = std::make_unique<peer::AtPort>("/dev/ttyUSB8");
            control->start();
        }
        ReceiverLink link{};
        link.driver = row_of(0x1BC71031);
        int result;
        std::string log;
        {
            th::StderrCapture capture;
            result = gpsp_open(&link);
            log = capture.text();
        }
        EXPECT_NE(log.find("gps: debug: " + std::string(c.trace) + "\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("Waiting for initialization gps module") == std::string::npos, c.proceeds) << log;
        if (c.proceeds) {
            ASSERT_EQ(result, 0) << log;
            EXPECT_EQ(control->commands(), kStartA);
            gpsp_close(&link);
        } else {
            EXPECT_EQ(result, -1);
            if (control) {
                EXPECT_TRUE(control->commands().empty());
            }
        }
        EXPECT_TRUE(no_locks());
    }
    set_mwan_state(nullptr);
}

TEST(GpspDriver, VariantsSendTheirOwnCommandSets)
{
    th::process_root();
    set_mwan_state(nullptr);
    struct Case {
        uint32_t usb_id;
        const char* control_port;
        const std::vector<std::string>& start;
        const std::vector<std::string>& stop;
    };
    const Case cases[] = {
        {0x1BC71031, "/dev/ttyUSB8", kStartA, kStopA},
        {0x1BC71070, "/dev/ttyUSB10", kStartB, kStopB},
        {0x1BC71071, "/dev/ttyUSB10", kStartB, kStopB},
    };
    peer::Pty data("/dev/ttyUSB7");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control_port);
        peer::AtPort control(c.control_port);
        control.start();
        ReceiverLink link{};
        link.driver = row_of(c.usb_id);
        ASSERT_NE(link.driver, nullptr);
        std::string log;
        {
            th::StderrCapture capture;
            ASSERT_EQ(gpsp_open(&link), 0);
            EXPECT_EQ(control.commands(), c.start);
            EXPECT_STREQ(link.device_path, "/dev/ttyUSB7");
            EXPECT_GE(link.fd, 0);
            EXPECT_TRUE(th::file_exists(root_path("/run/lock/LCK..ttyUSB7")));
            gpsp_close(&link);
            log = capture.text();
        }
        std::vector<std::string> all = c.start;
        all.insert(all.end(), c.stop.begin(), c.stop.end());
        EXPECT_EQ(control.commands(), all);
        EXPECT_EQ(link.fd, -1);
        EXPECT_TRUE(no_locks());
        EXPECT_LT(log.find("gps: notice: active antenna on"), log.find("gps: notice: active antenna off")) << log;
    }
}

TEST(GpspDriver, RefusalsEndTheSequence)
{
    th::process_root();
    set_mwan_state(nullptr);
    peer::Pty data("/dev/ttyUSB7");
    struct Case {
        const char* refused;
        const char* message;
        std::vector<std::string> sent;
    };
    const Case cases[] = {
        {"ATE0", "gps: warning: cannot write test value of \"ATE\", device not ready yet", {"ATE0"}},
        {"AT$GPSNMUN=2,1,0,0,0,1,0",
         "gps: err: cannot write new value of \"AT+GPSNMUN\"",
         {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0"}},
        {"AT$GPSAT=1", "gps: err: cannot turning active antenna on", {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0", "AT$GPSAT=1"}},
        {"AT$GPSP=1", "gps: err: cannot write new value of \"AT$GPSP\" (on)", kStartA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused);
        peer::AtPort control("/dev/ttyUSB8");
        control.replies[c.refused] = "\r\nERROR\r\n";
        control.start();
        ReceiverLink link{};
        link.driver = row_of(0x1BC71031);
        th::StderrCapture capture;
        EXPECT_EQ(gpsp_open(&link), -1);
        EXPECT_EQ(control.commands(), c.sent);
        EXPECT_NE(capture.text().find(std::string(c.message) + "\n"), std::string::npos) << capture.text();
        EXPECT_EQ(link.fd, -1);
        EXPECT_TRUE(no_locks());
    }

    // A refused engine stop leaves the antenna and the engine's parking alone.
    peer::AtPort control("/dev/ttyUSB8");
    control.replies["AT$GPSP=0"] = "\r\nERROR\r\n";
    control.start();
    ReceiverLink link{};
    link.driver = row_of(0x1BC71031);
    ASSERT_EQ(gpsp_open(&link), 0);
    th::StderrCapture capture;
    gpsp_close(&link);
    std::vector<std::string> expected = kStartA;
    expected.push_back("AT$GPSP=0");
    EXPECT_EQ(control.commands(), expected);
    EXPECT_NE(capture.text().find("gps: err: cannot write new value of \"AT$GPSP\" (off)\n"), std::string::npos);
    EXPECT_EQ(capture.text().find("active antenna off"), std::string::npos);
    EXPECT_TRUE(no_locks());

    // A stop without an open data port touches nothing.
    ReceiverLink closed{};
    closed.driver = row_of(0x1BC71031);
    closed.fd = -1;
    gpsp_close(&closed);
    EXPECT_EQ(control.commands(), expected);
}

}  // namespace
