// SPDX-License-Identifier: BSD-2-Clause
// $GPS_START driver against a pseudo-terminal module: exact switch texts, lock handling, notice.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "drivers/families.h"
#include "pty_peer.h"
#include "receiver/link.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

using peer::lock_of;
using peer::new_link;
// Bytes the module side receives until the line is quiet.
std::string received(const peer::Pty& pty)
{
    std::string got;
    pollfd p{pty.master, POLLIN, 0};
    while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
        char buf[256];
        ssize_t n = read(pty.master, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// What a call prints on standard output.
template <typename F>
std::string stdout_of(F&& f)
{
    std::fflush(stdout);
    char tmpl[] = "/tmp/gnssd-stdout-XXXXXX";
    int fd = mkstemp(tmpl);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = th::read_file(tmpl);
    unlink(tmpl);
    return text;
}

TEST(GpsStartDriver, StartAndStopTextsGoOutExactlyOnTheDataPort)
{
    th::process_root();
    peer::Pty usb9("/dev/ttyUSB9");
    auto link = new_link();

    ASSERT_EQ(gpsstart_open(link.get()), 0);
    EXPECT_STREQ(link->device_path, "/dev/ttyUSB9");
    ASSERT_GE(link->fd, 0);
    EXPECT_EQ(link->drop_repeated_gga, 1u);
    EXPECT_EQ(th::read_file(lock_of("ttyUSB9")), th::pid_text(getpid()));
    struct stat a, b;
    ASSERT_EQ(fstat(link->fd, &a), 0);
    ASSERT_EQ(stat((th::process_root() + "/dev/ttyUSB9").c_str(), &b), 0);
    EXPECT_EQ(a.st_rdev, b.st_rdev);
    EXPECT_EQ(received(usb9), "$GPS_START");

    gpsstart_close(link.get());
    EXPECT_EQ(link->fd, -1);
    EXPECT_EQ(received(usb9), "$GPS_STOP");
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB9")));

    // A link whose port is already closed writes nothing.
    gpsstart_close(link.get());
    EXPECT_EQ(received(usb9), "");
}

TEST(GpsStartDriver, MissingOrLockedPortFailsTheStart)
{
    th::process_root();
    struct Case {
        const char* legend;
        bool port_present;
        bool locked_by_other;
        std::string message;
        bool lock_left;  // the other program's lock stays
    };
    const Case cases[] = {
        {"port missing", false, false, "gps: err: open(/dev/ttyUSB9) error: No such file or directory\n", false},
        {"port locked by a live process", true, true, "gps: err: device(/dev/ttyUSB9) is locked\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        std::unique_ptr<peer::Pty> usb9;
        if (c.port_present)
            usb9 = std::make_unique<peer::Pty>("/dev/ttyUSB9");
        if (c.locked_by_other)
            th::write_file(lock_of("ttyUSB9"), th::pid_text(1));
        th::StderrCapture err;
        auto link = new_link();
        EXPECT_EQ(gpsstart_open(link.get()), -1);
        EXPECT_EQ(link->fd, -1);
        EXPECT_EQ(link->drop_repeated_gga, 0u);
        EXPECT_NE(err.text().find(c.message), std::string::npos) << err.text();
        EXPECT_EQ(th::file_exists(lock_of("ttyUSB9")), c.lock_left);
        if (usb9) {
            EXPECT_EQ(received(*usb9), "");
        }
        std::remove(lock_of("ttyUSB9").c_str());
    }
}

TEST(GpsStartDriver, NoticePrintsTheAntennaWarningOnlyWhenAsked)
{
    const int off = 0;
    const int on = 1;
    int result = -1;
    EXPECT_EQ(stdout_of([&] { result = gpsstart_notice(&off); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(stdout_of([&] { result = gpsstart_notice(&on); }),
              "</td></tr><tr><td><table><tr><td nowrap>"
              "<i class=\"color_red\">UMTS receive diversity antenna is disabled now!</i></td></tr>");
    EXPECT_EQ(result, 10);
}

}  // namespace
