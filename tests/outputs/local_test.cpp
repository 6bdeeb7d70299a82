// SPDX-License-Identifier: BSD-2-Clause
// Local outputs: lazily locked and opened serial ports, and the "/dev/nmea" pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "outputs/local.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/in_root.h"
#include "support/pty_peer.h"

namespace {

const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*07\r\n";

using th::in_root;
using th::lock_of;
using th::pid_text;

TEST(LocalOutput, DisabledSerialOutputIsNeverOpenedNorLocked)
{
    th::PtyPeer tty("/dev/ttyUSB0");
    SerialOutput out{0, "/dev/ttyUSB0", Fd{}};
    for (int i = 0; i < 5; ++i)
        output_write(&out, kGga.data(), kGga.size());
    EXPECT_EQ(out.fd.get(), -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyUSB0")));
    EXPECT_EQ(tty.drain(), "");
}

TEST(LocalOutput, SerialPortOpensOnFirstSentenceAndReopensAfterItVanished)
{
    th::StderrCapture err;
    auto tty = std::make_unique<th::PtyPeer>("/dev/ttyS0");
    SerialOutput out{1, "/dev/ttyS0", Fd{}};

    output_write(&out, kGga.data(), kGga.size());
    output_write(&out, kRmc.data(), kRmc.size());
    ASSERT_GE(out.fd.get(), 0);
    EXPECT_EQ(th::read_file(lock_of("ttyS0")), pid_text(getpid()));
    EXPECT_EQ(tty->drain(), kGga + kRmc);

    // Unplugged: the write fails, the port is closed and unlocked without a
    // word; the next sentence tries to open it again and says why it cannot.
    tty->unplug();
    output_write(&out, kGga.data(), kGga.size());
    EXPECT_EQ(out.fd.get(), -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyS0")));
    EXPECT_EQ(err.text(), "");
    output_write(&out, kGga.data(), kGga.size());
    EXPECT_EQ(out.fd.get(), -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyS0")));
    EXPECT_NE(err.text().find("gps: err: open(/dev/ttyS0) error: No such file or directory"), std::string::npos)
        << err.text();

    // Plugged back: picked up by the next sentence, no restart needed.
    tty.reset();
    tty = std::make_unique<th::PtyPeer>("/dev/ttyS0");
    output_write(&out, kRmc.data(), kRmc.size());
    ASSERT_GE(out.fd.get(), 0);
    EXPECT_EQ(tty->drain(), kRmc);

    output_close(&out);
    EXPECT_EQ(out.fd.get(), -1);
    EXPECT_FALSE(th::file_exists(lock_of("ttyS0")));
}

TEST(LocalOutput, PortLockedByAnotherProgramDropsSentencesUntilReleased)
{
    th::StderrCapture err;
    th::PtyPeer tty("/dev/ttyS1");
    // Process 1 always lives: the lock is another program's.
    th::write_file(lock_of("ttyS1"), pid_text(1));
    SerialOutput out{1, "/dev/ttyS1", Fd{}};

    // Skipped without waiting, and not tried again within the second.
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        output_write(&out, kGga.data(), kGga.size());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(out.fd.get(), -1);
    EXPECT_EQ(th::count_of(err.text(), "gps: err: device(/dev/ttyS1) is locked\n"), 1) << err.text();
    EXPECT_EQ(th::read_file(lock_of("ttyS1")), pid_text(1));
    EXPECT_EQ(tty.drain(), "");

    std::remove(lock_of("ttyS1").c_str());
    output_write(&out, kRmc.data(), kRmc.size());
    EXPECT_EQ(out.fd.get(), -1) << "released, but the next try is a second away";
    out.retry_at = 0;  // that second has passed
    output_write(&out, kRmc.data(), kRmc.size());
    ASSERT_GE(out.fd.get(), 0);
    EXPECT_EQ(tty.drain(), kRmc);
    output_close(&out);
}

TEST(LocalOutput, PseudoTerminalCarriesSentencesByteForByteAndNeverStalls)
{
    th::StderrCapture err;
    SerialOutput out{};
    ASSERT_EQ(pty_open(&out, 1), 0) << err.text();
    EXPECT_EQ(out.enabled, 1u);
    EXPECT_EQ(out.path, nullptr);
    ASSERT_GE(out.fd.get(), 0);

    const std::string link = in_root("/dev/nmea");
    std::error_code ec;
    const std::string slave = std::filesystem::read_symlink(link, ec).string();
    ASSERT_EQ(slave, ptsname(out.fd.get()));
    EXPECT_NE(err.text().find("gps: notice: Pseudo-terminal has been opened with success. (/dev/nmea -> " + slave +
                              ")\n"),
              std::string::npos)
        << err.text();
    struct stat st;
    ASSERT_EQ(stat(slave.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0770u);
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_gid, 999u);
    }

    // A reader gets "\r\n" as sent: the terminal is raw.
    int reader = open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    output_write(&out, kGga.data(), kGga.size());
    output_write(&out, kRmc.data(), kRmc.size());
    EXPECT_EQ(th::PtyPeer::read_quiet(reader), kGga + kRmc);
    close(reader);

    // Nobody reads: the queue fills, sentences are dropped, the pseudo-
    // terminal stays open and the writer never blocks (a blocking master
    // would hang this test).
    for (int i = 0; i < 20000; ++i)
        output_write(&out, kGga.data(), kGga.size());
    EXPECT_GE(out.fd.get(), 0);
    EXPECT_EQ(err.text().find("Pseudo terminal is closed"), std::string::npos);

    // A late reader gets what the queue kept of the backlog, in whole
    // sentences, and then what is new.
    const int64_t t = 1000000000000;  // far behind the real clock the writes above used
    // The terminal moves written bytes to the reader's side on a kernel
    // worker: let it settle so that the next batch sees the queue as it is.
    const int probe = open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    const auto settle = [&] {
        // Until the worker has run, the reader's side looks empty: on a
        // loaded machine that can last longer than the steadiness check
        // below, and an empty-looking queue reads as one a reader emptied.
        pollfd ready{probe, POLLIN, 0};
        (void)poll(&ready, 1, 1000);
        int before = -1;
        for (int i = 0, n = 0; i < 200; ++i, before = n) {
            if (ioctl(probe, FIONREAD, &n) != 0 || n == before)
                break;
            usleep(1000);
        }
    };
    const auto batch = [&](const std::string& bytes, int64_t at) {
        const iovec piece{const_cast<char*>(bytes.data()), bytes.size()};
        output_writev_at(&out, &piece, 1, bytes.size(), at);
        settle();
    };
    // Every line a reader got is one whole sentence that was sent.
    const auto whole = [&](const std::string& got) {
        for (std::size_t at = 0; at < got.size();) {
            const std::size_t end = got.find("\r\n", at);
            ASSERT_NE(end, std::string::npos) << "cut sentence at the end of " << got.substr(at);
            const std::string line = got.substr(at, end + 2 - at);
            EXPECT_TRUE(line == kGga || line == kRmc || line.rfind("$GPTXT,01,01,02,", 0) == 0) << "spliced: " << line;
            at = end + 2;
        }
    };
    settle();
    batch(kGga, t);
    batch(kRmc, t + 100);
    reader = open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string got = th::PtyPeer::read_quiet(reader);
    ASSERT_GE(got.size(), kGga.size() + kRmc.size());
    EXPECT_EQ(got.substr(got.size() - kGga.size() - kRmc.size()), kGga + kRmc);
    EXPECT_LE(got.size(), 32768u + kRmc.size());
    whole(got);

    // The numbers of the time stamps whose sentences a reader completed.
    const auto stamps = [](const std::string& text) {
        std::vector<int> n;
        for (std::size_t at = text.find("$GPTXT,01,01,02,"); at != std::string::npos;
             at = text.find("$GPTXT,01,01,02,", at + 1)) {
            if (text.find("\r\n", at) != std::string::npos)
                n.push_back(std::atoi(text.c_str() + at + 16));
        }
        return n;
    };
    // A reader taking 20 bytes every quarter second from a stream of one
    // batch a second falls behind, but gets every sentence while the queue
    // has room.
    int64_t now = t + 20000;
    got.clear();
    for (int sec = 0; sec < 30; ++sec) {
        batch(kGga + "$GPTXT,01,01,02," + std::to_string(sec) + "*00\r\n" + kRmc, now);
        for (int q = 0; q < 4; ++q, now += 250) {
            char bytes[20];
            const ssize_t n = read(reader, bytes, sizeof bytes);
            if (n > 0)
                got.append(bytes, static_cast<std::size_t>(n));
        }
    }
    std::vector<int> seen = stamps(got);
    ASSERT_GE(seen.size(), 5u);
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], static_cast<int>(i));
    // It stops reading: the oldest whole sentences give way to the newest,
    // and what it finds when it comes back runs without a gap to the last.
    for (int sec = 30; sec < 400; ++sec, now += 1000)
        batch(kGga + "$GPTXT,01,01,02," + std::to_string(sec) + "*00\r\n" + kRmc, now);
    const std::string back = th::PtyPeer::read_quiet(reader);
    got += back;
    whole(got);
    seen = stamps(back);
    ASSERT_GE(seen.size(), 50u);
    EXPECT_EQ(seen.back(), 399);
    for (std::size_t i = 2; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], seen[i - 1] + 1);

    // At the stop the reader still gets the rest of the sentence it is in
    // before the terminal goes.
    std::string last;
    std::thread tail([&] {
        char bytes[20];
        for (;;) {
            pollfd p{reader, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                return;
            const ssize_t n = read(reader, bytes, sizeof bytes);
            if (n <= 0)
                return;
            last.append(bytes, static_cast<std::size_t>(n));
            usleep(20000);
        }
    });
    close(probe);
    pty_close(&out);
    tail.join();
    close(reader);
    whole(got + last);
    EXPECT_EQ(out.fd.get(), -1);
    EXPECT_FALSE(th::file_exists(link));
    EXPECT_NE(err.text().find("gps: notice: Pseudo-terminal has been closed\n"), std::string::npos);
}

TEST(LocalOutput, ClosedPseudoTerminalReportsEverySentence)
{
    th::StderrCapture err;
    SerialOutput out{1, nullptr, Fd{}};
    output_write(&out, kGga.data(), kGga.size());
    output_write(&out, kRmc.data(), kRmc.size());
    EXPECT_EQ(th::count_of(err.text(), "gps: err: Pseudo terminal is closed\n"), 2);
}

TEST(LocalOutput, LeftoverNmeaNodeIsReplacedByTheNewLink)
{
    const std::string link = in_root("/dev/nmea");
    struct Case {
        const char* legend;
        void (*make)(const std::string& path);
        uint32_t enabled;
    };
    const Case cases[] = {
        {"dangling link of an earlier run",
         [](const std::string& p) { std::filesystem::create_symlink("/dev/pts/999999", p); }, 1},
        {"link to a device that still exists",
         [](const std::string& p) { std::filesystem::create_symlink("/dev/null", p); }, 1},
        {"output disabled: created all the same, but silent",
         [](const std::string& p) { std::filesystem::create_symlink("/dev/pts/999999", p); }, 0},
        {"plain file", [](const std::string& p) { th::write_file(p, "stale"); }, 1},
        {"FIFO nobody reads", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, 1},
        {"socket",
         [](const std::string& p) {
             const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un sa{};
             sa.sun_family = AF_UNIX;
             std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", p.c_str());
             ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
             close(s);
         },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        th::StderrCapture err;
        std::error_code ec;
        std::filesystem::remove(link, ec);
        c.make(link);
        SerialOutput out{};
        ASSERT_EQ(pty_open(&out, c.enabled), 0) << err.text();
        EXPECT_EQ(out.enabled, c.enabled);
        EXPECT_EQ(std::filesystem::read_symlink(link, ec).string(), ptsname(out.fd.get()));
        int reader = open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        output_write(&out, kGga.data(), kGga.size());
        EXPECT_EQ(th::PtyPeer::read_quiet(reader), c.enabled ? kGga : "");
        close(reader);
        pty_close(&out);
        EXPECT_FALSE(th::file_exists(link));
        EXPECT_EQ(err.text().find("gps: err:"), std::string::npos) << err.text();
    }
    // Only a directory is left alone: the pseudo-terminal stays off and the
    // message names the path.
    std::error_code ec;
    std::filesystem::remove(link, ec);
    std::filesystem::create_directory(link);
    th::write_file(link + "/keep", "kept");
    th::StderrCapture err;
    SerialOutput out{};
    EXPECT_EQ(pty_open(&out, 1), -1);
    EXPECT_EQ(th::read_file(link + "/keep"), "kept");
    EXPECT_NE(err.text().find("gps: err: Unable to delete existed linked file /dev/nmea, err:-1\n"
                              "gps: err: Pseudo-terminal initialization failed"),
              std::string::npos)
        << err.text();
    std::filesystem::remove_all(link, ec);
}

}  // namespace
