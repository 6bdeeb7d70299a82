// SPDX-License-Identifier: BSD-2-Clause
// Module detection through the GPIO and USB-serial stand-ins, and the link's failure path.
//
// All cases share this process's simulation root, and the GPIO descriptor
// opened by the first request stays open: each case rewrites the contents of
// dev/gpio (read afresh on every request) rather than replacing the file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "drivers/drivers.h"
#include "platform/clock.h"
#include "platform/gpio.h"
#include "platform/usb_ids.h"
#include "receiver/link.h"
#include "support/harness.h"
#include "support/in_root.h"

namespace {

// Rewrites a file in place, keeping its inode (the shared GPIO descriptor).
void rewrite(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

const std::string kGpio = th::in_root("/dev/gpio"), kUsbSerial = th::in_root("/proc/tty/driver/usbserial");

std::string port_line(int port, const char* vendor, const char* product)
{
    return std::to_string(port) + ": name:\"GSM modem (1-port)\" vendor:" + vendor + " product:" + product +
           " num_ports:1 port:0 path:usb-ehci-platform-1\n";
}

constexpr const char* kListHeader = "usbserinfo:1.0 driver:2.0\n";

// Row number (1-based as in the table) or 0 for none.
int selected_row()
{
    const ModuleDriver* row = driver_find();
    return row ? static_cast<int>(row - kDriverTable) + 1 : 0;
}

TEST(Detection, TableDriven)
{
    struct Case {
        const char* legend;
        std::string gpio;
        std::string usbserial;
        int want_row;
    };
    const std::string q0125 = port_line(8, "2c7c", "0125");
    const Case cases[] = {
        {"platform 20 takes the stand-alone receiver whatever is on port 8", "board_code=4\nplatform_id=20\n", q0125,
         15},
        {"platform 20 with nothing on USB", "platform_id=20\n", "", 15},
        {"board 4 without a port-8 line", "board_code=4\nplatform_id=1\n",
         std::string(kListHeader) + port_line(0, "1199", "68c0"), 0},
        {"board 4 with its module on port 8", "board_code=4\nplatform_id=1\n", port_line(8, "1199", "68A2"), 2},
        {"unknown vendor on board 3", "board_code=3\n", port_line(8, "1234", "5678"), 0},
        {"unknown vendor on board 4", "board_code=4\n", port_line(8, "1234", "5678"), 0},
        {"unknown vendor on board 6", "board_code=6\n", port_line(8, "1234", "5678"), 0},
        {"board code 4116 alone selects the stand-alone row", "board_code=4116\n", "", 15},
        {"USB id wins over the board code", "board_code=4116\n", q0125, 10},
        {"USB row needs no board code", "", port_line(8, "1e2d", "0061"), 8},
        {"last row", "board_code=0\n", port_line(8, "2cb7", "0104"), 19},
        {"first port-8 line decides", "",
         std::string(kListHeader) + port_line(8, "2c7c", "0125") + port_line(8, "1199", "68c0"), 10},
        {"other ports are skipped", "", port_line(7, "1199", "68c0") + port_line(8, "1bc7", "1070"), 17},
        {"a line in another format does not count", "",
         "8: module:option name:\"GSM modem (1-port)\" vendor:1199 product:68c0 num_ports:1\n" +
             port_line(8, "1bc7", "1071"),
         18},
        {"a line that converts only the port does not count", "", "8: name:\"x\"\n" + port_line(8, "2c7c", "0800"), 13},
        {"a line without model still counts", "", "8: name:\"x\" vendor:2c7c product:0801\n", 14},
        {"a long name (read in pieces) does not count", "",
         "8: name:\"" + std::string(300, 'n') + "\" vendor:1199 product:68c0\n" + port_line(8, "2c7c", "0296"), 11},
        {"binary garbage is skipped", "", std::string("\x00\xff\x08:\n8\x00: name\n", 14) + q0125, 10},
        {"no GPIO values and no module", "", "", 0},
        {"GPIO values that do not parse", "board_code=four\nplatform_id=\n", q0125, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        rewrite(kGpio, c.gpio);
        rewrite(kUsbSerial, c.usbserial);
        EXPECT_EQ(selected_row(), c.want_row);
    }
}

TEST(Detection, GpioValuesAndUsbIds)
{
    rewrite(kGpio, "board_code=3\nplatform_id=20\n");
    EXPECT_EQ(gpio_board_code(), 3);
    EXPECT_EQ(gpio_platform_id(), 20);
    rewrite(kGpio, "board_code=-2\n");
    EXPECT_EQ(gpio_board_code(), 15) << "a negative answer reads as 15";
    EXPECT_EQ(gpio_platform_id(), 15);
    EXPECT_EQ(gpio_request(0x40004214UL, 1), 0);

    rewrite(kUsbSerial, port_line(8, "2C7C", "0125") + port_line(3, "1199", "68c0"));
    EXPECT_EQ(usb_serial_id(8), 0x2C7C0125u);
    EXPECT_EQ(usb_serial_id(3), 0x119968C0u);
    EXPECT_EQ(usb_serial_id(4), 0u);
    unlink(kUsbSerial.c_str());
    EXPECT_EQ(usb_serial_id(8), 0u) << "no list: no USB module";

    // A 10 MB list of lines that are too long or malformed ends in no module.
    std::string junk;
    while (junk.size() < (10u << 20))
        junk += std::string(200, 'k') + "\n8: name:\"" + std::string(100, '\x7f') + "\n";
    rewrite(kUsbSerial, junk);
    EXPECT_EQ(usb_serial_id(8), 0u);
    rewrite(kUsbSerial, "");
}

TEST(Detection, InstallMessages)
{
    rewrite(kGpio, "board_code=4\n");
    for (const auto& [list, message] : {std::pair{std::string(), "no device for installation found"},
                                        std::pair{port_line(8, "2c7c", "0125"), "no installation required"}}) {
        rewrite(kUsbSerial, list);
        th::StderrCapture err;
        module_install();
        EXPECT_EQ(err.text(), std::string("gps: notice: ") + message + "\n");
    }
    link_close(nullptr);  // accepted and ignored
}

TEST(Detection, LinkOpenWithoutModulePausesAndGivesNothing)
{
    rewrite(kGpio, "board_code=4\nplatform_id=1\n");
    rewrite(kUsbSerial, port_line(8, "1234", "5678"));
    th::StderrCapture err;
    // The pauses take no time on the test clock, which each moves to its end.
    clock_test_start(TestClock::kPausesAdvance);
    const long long t0 = monotonic_ms();
    ReceiverLink* link = link_open(driver_find(), {.antenna_input = 1,
                                                   .antenna_active = 1,
                                                   .date_fix_enabled = 1,
                                                   .reset_enabled = 1,
                                                   .reset_timeout = 60});
    const long long took = monotonic_ms() - t0;
    clock_test_end();
    EXPECT_EQ(link, nullptr);
    EXPECT_EQ(err.text(), "gps: err: no GPS module available\n");
    EXPECT_GE(took, 9500);
}

// Counts this process's descriptors open on a path ending in suffix.
int open_descriptors_on(const std::string& suffix)
{
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(e.path(), ec).string().ends_with(suffix);
    }
    return n;
}

// Run as a fresh process (before any test, so nothing has opened the GPIO
// yet): many threads race to the first request; exactly one descriptor may
// be opened, and every thread must read the value.
const int kGpioRaceChild = [] {
    const char* mode = std::getenv("GNSSD_TEST_GPIO_RACE");
    if (!mode || std::string(mode) != "1")
        return 0;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (gpio_board_code() != 6)
                    ++wrong;
        });
    for (auto& t : threads)
        t.join();
    const int fds = open_descriptors_on("/dev/gpio");
    _exit(wrong != 0 ? 2 : fds != 1 ? 3 : 0);
}();

TEST(Detection, FirstGpioRequestsRaceToOneDescriptor)
{
    th::TempDir root;
    th::make_root_dirs(root.path);
    th::write_file(root.path + "/dev/gpio", "board_code=6\n");
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    th::Process child;
    child.start({self, "--gtest_list_tests"}, {{"GNSSD_ROOT", root.path}, {"GNSSD_TEST_GPIO_RACE", "1"}},
                root.path + "/stderr");
    ASSERT_TRUE(child.wait_exit(std::chrono::seconds(60)));
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << "2: a thread read a wrong value, 3: not exactly one descriptor";
}

}  // namespace
