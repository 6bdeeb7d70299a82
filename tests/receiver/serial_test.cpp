// SPDX-License-Identifier: BSD-2-Clause
// Serial line settings and the AT exchange against a pseudo-terminal whose master plays the module.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "receiver/at.h"
#include "receiver/link.h"
#include "receiver/serial.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/in_root.h"
#include "support/pty_peer.h"

namespace {

struct Chunk {
    int delay_ms;  // pause before the chunk
    std::string bytes;
};

// The module: waits for the command, then answers chunk by chunk.
std::thread play_module(th::PtyPeer& pty, std::vector<Chunk> script, std::string* command_seen)
{
    return std::thread([&pty, script = std::move(script), command_seen] {
        pty.read_until("\r", std::chrono::seconds(1));
        *command_seen = pty.got;
        for (const Chunk& c : script) {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
            pty.send(c.bytes);
        }
    });
}

TEST(SerialLineSettings, FlagsFollowTheRequestedLine)
{
    struct Case {
        const char* legend;
        int speed, bits;
        const char* parity;
        int stop;
        speed_t want_speed;
        tcflag_t want_size, want_parity;
        bool want_cstopb;
    };
    const Case cases[] = {
        {"8N1 at 115200", 115200, 8, "N", 1, B115200, CS8, 0, false},
        {"unsupported 1800 selects 9600", 1800, 8, "N", 1, B9600, CS8, 0, false},
        {"zero selects 9600", 0, 8, "N", 1, B9600, CS8, 0, false},
        {"5 data bits become 8", 9600, 5, "N", 1, B9600, CS8, 0, false},
        {"6 data bits become 8", 9600, 6, "N", 1, B9600, CS8, 0, false},
        {"7 data bits", 4800, 7, "E", 1, B4800, CS7, PARENB, false},
        {"odd parity", 4000000, 8, "Odd", 2, B4000000, CS8, PARENB | PARODD, true},
        {"only an upper-case first letter counts", 9600, 8, "odd", 1, B9600, CS8, 0, false},
        {"empty parity", 9600, 8, "", 3, B9600, CS8, 0, false},
        {"null parity", 9600, 8, nullptr, 2, B9600, CS8, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        struct termios tio;
        std::memset(&tio, 0xff, sizeof tio);
        tio.c_cc[VMIN] = 7;
        serial_line_settings(&tio, c.speed, c.bits, c.parity, c.stop);
        const tcflag_t want = c.want_speed | c.want_size | c.want_parity | (c.want_cstopb ? CSTOPB : 0) | CREAD |
                              HUPCL | CLOCAL;
        EXPECT_EQ(tio.c_cflag, want);
        EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
        EXPECT_EQ(tio.c_oflag, 0u);
        EXPECT_EQ(tio.c_lflag, 0u);
        EXPECT_EQ(cfgetispeed(&tio), c.want_speed);
        EXPECT_EQ(cfgetospeed(&tio), c.want_speed);
        EXPECT_EQ(tio.c_cc[VMIN], 7) << "control characters stay as read";
    }
}

TEST(SerialOpen, AppliesTheLineToARealTty)
{
    th::PtyPeer pty("/dev/ttyTEST0");
    int fd = serial_open("/dev/ttyTEST0", 1800, 5, "O", 2);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    struct termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    // The pseudo-terminal keeps these; it forces CS8 and drops PARENB itself.
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & PARODD);
    EXPECT_EQ(tio.c_cflag & (CREAD | HUPCL | CLOCAL | CRTSCTS), static_cast<tcflag_t>(CREAD | HUPCL | CLOCAL));
    EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    close(fd);
}

TEST(SerialOpen, FailuresNameTheRouterPath)
{
    {
        th::StderrCapture err;
        EXPECT_EQ(serial_open("/dev/ttyABSENT", 9600, 8, "N", 1), -1);
        EXPECT_EQ(err.text(), "gps: err: open(/dev/ttyABSENT) error: No such file or directory\n");
    }
    {
        // Not a tty: the descriptor is used all the same.
        th::write_file(th::in_root("/dev/plainfile"), "");
        th::StderrCapture err;
        int fd = serial_open("/dev/plainfile", 9600, 8, "N", 1);
        EXPECT_GE(fd, 0);
        EXPECT_NE(err.text().find("gps: err: tcsetattr(/dev/plainfile) error: "), std::string::npos) << err.text();
        if (fd >= 0)
            close(fd);
    }
    {
        // The link helper logs the same failure a second time.
        ReceiverLink link = {};
        link.device_path = "/dev/ttyABSENT";
        th::StderrCapture err;
        EXPECT_EQ(link_open_serial(&link), -1);
        EXPECT_EQ(link.fd, -1);
        EXPECT_EQ(th::count_of(err.text(), "gps: err: open(/dev/ttyABSENT) error: No such file or directory\n"), 2);
    }
}

TEST(SerialOpen, LinkPortRunsAt115200)
{
    th::PtyPeer pty("/dev/ttyTEST1");
    ReceiverLink link = {};
    link.device_path = "/dev/ttyTEST1";
    ASSERT_EQ(link_open_serial(&link), 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(link.fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    close(link.fd);
}

// Replies shaped by timing: each case is the module's script and what the
// exchange must return.
TEST(AtCommand, ReplyEndsAsTheLineGoesQuiet)
{
    struct Case {
        const char* legend;
        int timeout;
        std::vector<Chunk> script;
        std::string want;
        // Loose: only tell "quiet after chunk" from "full timeout".
        double min_seconds, max_seconds;
    };
    const Case cases[] = {
        {"one chunk ends 200 ms after it", 5, {{0, "\r\nOK\r\n"}}, "\r\nOK\r\n", 0, 3.0},
        {"3-byte chunk: a later chunk is not waited for", 5, {{0, "abc"}, {1000, "def"}}, "abc", 0, 3.0},
        {"2-byte chunk restores the full timeout", 2, {{0, "ab"}, {600, "cd\r\n"}}, "abcd\r\n", 0, 3.0},
        {"bytes of a reply that come in pieces",
         5,
         {{0, "\r\n+CGPS"}, {50, ": 1\r\n"}, {50, "\r\nOK\r\n"}},
         "\r\n+CGPS: 1\r\n\r\nOK\r\n",
         0,
         3.0},
        // Each pause is longer than the 200 ms quiet time but shorter than the
        // 2-second answer timeout that every tiny chunk restores.
        {"trickle of single bytes keeps the exchange alive", 2, {{0, "O"}, {1000, "K"}, {1000, "!"}}, "OK!", 0, 10.0},
        {"silent port gives an empty reply after the timeout", 1, {}, "", 0.9, 10.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        th::PtyPeer pty("/dev/ttyAT0");
        int fd = serial_open("/dev/ttyAT0", 115200, 8, "N", 1);
        ASSERT_GE(fd, 0);
        std::string command;
        std::thread module = play_module(pty, c.script, &command);
        const auto t0 = std::chrono::steady_clock::now();
        const char* reply = at_command(fd, "AT+CGPS?\r", c.timeout);
        const double took = th::seconds_since(t0);
        module.join();
        EXPECT_EQ(command, "AT+CGPS?\r");
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(std::string(reply), c.want);
        EXPECT_GE(took, c.min_seconds);
        EXPECT_LT(took, c.max_seconds);
        close(fd);
    }
}

TEST(AtCommand, FloodIsCutAt8191AndDrainedTo65536)
{
    th::PtyPeer pty("/dev/ttyAT3");
    int fd = serial_open("/dev/ttyAT3", 115200, 8, "N", 1);
    ASSERT_GE(fd, 0);
    constexpr std::size_t kFlood = 1 << 20;
    std::atomic<bool> done{false};
    std::atomic<bool> stop{false};
    std::thread module([&] {
        pty.read_until("\r", std::chrono::seconds(1));
        std::string block(4096, 'x');
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>('A' + i % 26);
        std::size_t sent = 0;
        while (sent < kFlood && !stop) {
            struct pollfd p = {pty.master, POLLOUT, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const std::size_t want = std::min(block.size(), kFlood - sent);
            ssize_t n = write(pty.master, block.data(), want);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        done = true;
    });
    const std::string reply = at_command(fd, "AT\r", 1);
    // What is left on the line is everything the exchange did not consume.
    std::size_t left = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (th::seconds_since(t0) < 30) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            left += static_cast<std::size_t>(n);
            continue;
        }
        if (done) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    stop = true;
    module.join();
    EXPECT_EQ(reply.size(), 8191u);
    EXPECT_EQ(reply.substr(0, 4), "ABCD");
    const std::size_t consumed = kFlood - left;
    // Reads past the reply go in pieces of up to 128 bytes.
    EXPECT_GE(consumed, 65536u);
    EXPECT_LT(consumed, 65536u + 128u);
    close(fd);
}

TEST(AtCommand, WriteFailureStillCollectsAndRepliesPerThread)
{
    int ro = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ro, 0);
    {
        th::StderrCapture err;
        const char* reply = at_command(ro, "AT\r", 1);
        ASSERT_NE(reply, nullptr);
        EXPECT_STREQ(reply, "");
        EXPECT_EQ(err.text(), "gps: err: write error: Bad file descriptor\n");
    }
    close(ro);

    // Each thread owns its reply: another thread's exchange leaves ours alone.
    th::PtyPeer pty("/dev/ttyAT4");
    int fd = serial_open("/dev/ttyAT4", 115200, 8, "N", 1);
    ASSERT_GE(fd, 0);
    std::string command;
    std::thread module = play_module(pty, {{0, "MAIN\r\n"}}, &command);
    const char* mine = at_command(fd, "AT\r", 2);
    module.join();
    const char* theirs = nullptr;
    std::thread other([&] {
        int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        theirs = at_command(null_fd, "X", 1);
        close(null_fd);
    });
    other.join();
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine, "MAIN\r\n");
    close(fd);
}

TEST(FileHelpers, FirstLineAndExistence)
{
    const std::string root = th::process_root();
    struct Case {
        const char* legend;
        const char* name;
        std::string content;  // nullptr name below: no file at all
        std::string want;
    };
    const Case cases[] = {
        {"word and newline", "/run/ppp/a", "up\nsecond\n", "up"},
        {"carriage return ends the line", "/run/ppp/b", "up\r\nx", "up"},
        {"no line end", "/run/ppp/c", "down", "down"},
        {"empty file", "/run/ppp/d", "", ""},
        {"long line cut to 255", "/run/ppp/e", std::string(300, 'z') + "\n", std::string(255, 'z')},
        {"binary: text ends at NUL", "/run/ppp/f", std::string("ab\0cd\n", 6), "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        th::write_file(root + c.name, c.content);
        EXPECT_EQ(read_first_line(c.name), c.want);
        EXPECT_EQ(file_exists(c.name), 1);
    }
    EXPECT_STREQ(read_first_line("/run/ppp/missing"), "");
    EXPECT_EQ(file_exists("/run/ppp/missing"), 0);
    EXPECT_EQ(file_exists("/run/ppp"), 1);
}

}  // namespace
