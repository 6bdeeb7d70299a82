// SPDX-License-Identifier: BSD-2-Clause
// Sentence framing and resynchronisation on bad input, waits, and the NMEA checksum.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <random>

#include "nmea_support.h"
#include "platform/stop.h"

namespace {

struct FramingCase {
    const char* legend;
    std::string bytes;
    std::vector<std::string> expected;
    const char* log = nullptr;  // a message that must appear
};

TEST(Reader, FramesAndResynchronises)
{
    const std::string vtg = "$GPVTG,a*00\r\n";
    const std::string longest = "$" + std::string(kRxBufferSize - 1 - 6, 'A') + "*00\r\n";  // 1023 bytes
    const std::string too_long = "$" + std::string(kRxBufferSize - 6, 'A') + "*00\r\n";     // 1024 bytes
    const FramingCase cases[] = {
        {"one sentence", vtg, {vtg}},
        {"bytes before the first '$' are dropped", "xx\r\n12" + vtg, {vtg}},
        {"no '$' at all empties the buffer", "garbage without dollar\r\n", {}},
        {"NUL byte: marked, then everything up to the next '$' dropped",
         std::string("$GPGSA,1\0,2*00\r\n", 16) + vtg,
         {vtg}},
        {"NUL at the start", std::string("\0", 1) + vtg, {vtg}},
        {"NUL in a later sentence hides nothing before it",
         vtg + std::string("$GPGSA,1\0,2*00\r\n", 16) + vtg,
         {vtg, vtg}},
        {"NUL between the two \\n of a line end", std::string("$GPVTG,a*00\n\0\n", 14) + vtg, {vtg}},
        {"spliced sentence passed on from its first '$'", "$GPGGA,123519,480" + vtg, {"$GPGGA,123519,480" + vtg}},
        {"no '*': dropped, the next one passes", "$GPTXT,no star\r\n" + vtg, {vtg}},
        {"no '*' although the following bytes hold one", "$GPTXT,x\r\n$GPVTG,b*11\r\n", {"$GPVTG,b*11\r\n"}},
        {"a bare '$' line", "$\r\n" + vtg, {vtg}},
        {"\\n\\n ending passed on as \\r\\n", "$GPVTG,a*00\n\n$GPVTG,b*11\n\n", {vtg, "$GPVTG,b*11\r\n"}},
        {"mixed line ends: the earlier one ends the sentence",
         "$GPVTG,a*00\n\n$GPVTG,b*11\r\n" + vtg,
         {vtg, "$GPVTG,b*11\r\n", vtg}},
        {"1023-byte sentence fits exactly", longest + vtg, {longest, vtg}},
        {"1023 bytes without line end overflow", too_long + vtg, {vtg}, "gps: err: NMEA receive buffer overflow"},
        {"garbage run without '$' longer than the buffer", std::string(3000, 'x') + vtg, {vtg}},
        {"end of file is a read error", vtg, {vtg}, "gps: err: read error: end of file\n"},
    };
    for (const auto& c : cases) {
        for (const std::vector<size_t>& chunks : {std::vector<size_t>{1 << 20}, std::vector<size_t>{1, 5, 2, 40}}) {
            SCOPED_TRACE(c.legend);
            nt::Link link;
            th::StderrCapture err;
            const nt::Replay r = nt::replay(link, c.bytes, chunks);
            EXPECT_EQ(r.sentences, c.expected);
            EXPECT_EQ(r.last, -1);
            if (c.log) {
                EXPECT_NE(err.text().find(c.log), std::string::npos) << err.text();
            }
        }
    }
}

TEST(Reader, IgnorePrefixDropsSentences)
{
    nt::Link link;
    link.ignore_enabled = 1;
    link.ignore_prefix = "$PTWS";
    const nt::Replay r = nt::replay(link, "$PTWS,JAM,SIGNAL*00\r\n$GPVTG,a*00\r\n$PTW*00\r\n");
    EXPECT_EQ(r.sentences, (std::vector<std::string>{"$GPVTG,a*00\r\n", "$PTW*00\r\n"}));

    link.ignore_enabled = 0;
    const nt::Replay off = nt::replay(link, "$PTWS,JAM*00\r\n");
    EXPECT_EQ(off.sentences, (std::vector<std::string>{"$PTWS,JAM*00\r\n"}));
}

// One data burst, then silence: the first read lowers the wait to 2 seconds.
TEST(Reader, FullReadReadsOnThenSilenceTimesOut)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    nt::Link link;
    link.fd = sv[0];
    link.rx_timeout = 30;
    th::StderrCapture err;
    // A read that fills the buffer: the next one reads on without the wait,
    // and comes back at once when nothing more was sent.
    ASSERT_EQ(fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK), 0);
    const std::string longest = "$" + std::string(kRxBufferSize - 1 - 6, 'A') + "*00\r\n";
    ASSERT_EQ(write(sv[1], longest.data(), longest.size()), static_cast<ssize_t>(longest.size()));
    EXPECT_EQ(nt::step(link), 0);
    EXPECT_EQ(link.rx_more, 1u);
    EXPECT_EQ(nt::step(link), static_cast<int>(longest.size()));
    nmea_consume(&link);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(nt::step(link), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(link.rx_more, 0u);
    EXPECT_EQ(err.text(), "");

    const std::string vtg = "$GPVTG,a*00\r\n";
    ASSERT_EQ(write(sv[1], vtg.data(), vtg.size()), static_cast<ssize_t>(vtg.size()));
    EXPECT_EQ(nt::step(link), 0);
    EXPECT_EQ(link.rx_timeout, 2);
    EXPECT_EQ(nt::step(link), static_cast<int>(vtg.size()));
    nmea_consume(&link);
    EXPECT_EQ(nt::step(link), -1);
    EXPECT_NE(err.text().find("gps: err: select timeout"), std::string::npos) << err.text();
    close(sv[0]);
    close(sv[1]);
}

void on_signal(int) {}

// SIGTERM must end a wait at once, without a message, so the main loop can stop.
TEST(Reader, InterruptedWaitReturnsAtOnce)
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    nt::Link link;
    link.fd = sv[0];
    link.rx_timeout = 30;
    std::atomic<int> result{1};
    std::atomic<bool> started{false};
    th::StderrCapture err;
    std::thread reader([&] {
        started = true;
        result = nt::step(link);
    });
    ASSERT_TRUE(th::wait_until([&] { return started.load(); }, std::chrono::seconds(5)));
    // Keep signalling until the wait has been entered and broken.
    EXPECT_TRUE(th::wait_until(
        [&] {
            pthread_kill(reader.native_handle(), SIGUSR1);
            return result.load() != 1;
        },
        std::chrono::seconds(10)));
    reader.join();
    EXPECT_EQ(result.load(), -1);

    // A stop request ends the next wait too, from a flag the handler set
    // before the wait began or from another thread while it waits: no
    // signal then interrupts the poll itself.
    plat_stop_note();
    EXPECT_EQ(nt::step(link), -1);
    plat_stop_clear();
    const auto t0 = std::chrono::steady_clock::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        plat_stop_note();
    });
    EXPECT_EQ(nt::step(link), -1);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    plat_stop_clear();
    EXPECT_EQ(err.text(), "");
    sigaction(SIGUSR1, &old, nullptr);
    close(sv[0]);
    close(sv[1]);
}

// Random line noise made of the bytes the framer cares about: whatever comes out is a whole sentence.
TEST(Reader, NoiseKeepsInvariants)
{
    const char alphabet[] = "$$$**\r\r\n\n,,0123456789GPRMCZDA";
    for (const unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::string noise;
        for (int i = 0; i < 200000; ++i) {
            const auto k = rng() % 64;
            noise += k == 0 ? '\0' : k < sizeof alphabet - 1 ? alphabet[k] : static_cast<char>(rng() % 256);
        }
        nt::Link link;
        link.date_fix_enabled = 1;
        const nt::Replay r = nt::replay(link, noise, {1, 700, 3, 1023, 64});
        EXPECT_EQ(r.last, -1);
        EXPECT_FALSE(r.sentences.empty());
        for (const auto& s : r.sentences) {
            ASSERT_GE(s.size(), 4u);
            ASSERT_LE(s.size(), static_cast<size_t>(kRxBufferSize - 1));
            EXPECT_EQ(s.front(), '$');
            EXPECT_EQ(s.substr(s.size() - 2), "\r\n");
            EXPECT_NE(s.find('*'), std::string::npos);
            EXPECT_EQ(s.find('\0'), std::string::npos);
        }
    }
}

TEST(Reader, NullLink)
{
    EXPECT_EQ(nmea_next(nullptr), 0);
    EXPECT_EQ(nmea_read(nullptr), -1);
    nmea_consume(nullptr);
}

struct ChsumCase {
    const char* legend;
    std::string sentence;
    unsigned expected;
    const char* log;
};

TEST(Reader, Checksum)
{
    const ChsumCase cases[] = {
        {"GGA", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", 0x47, nullptr},
        {"RMC", "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*07\r\n", 0x07, nullptr},
        {"bytes with the high bit set", "$\xC3\xA9,1*00\r\n", 0xC3 ^ 0xA9 ^ ',' ^ '1', nullptr},
        {"4-byte sentence", "$A\r\n", 0, "gps: warning: nmea_chsum() - too short NMEA sentence \"$A\""},
        {"NUL before any '*'", std::string("$ABC\0DEF\r\n", 10), 'A' ^ 'B' ^ 'C',
         "gps: warning: nmea_chsum() - NMEA sentence end not found in"},
        {"no '*': the scan ends with the line end", "$ABCDE\r\n", 'A' ^ 'B' ^ 'C' ^ 'D' ^ 'E' ^ '\r' ^ '\n', nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        nt::Link link;
        nt::frame(link, c.sentence);
        th::StderrCapture err;
        EXPECT_EQ(nmea_chsum(&link), c.expected);
        if (c.log) {
            EXPECT_NE(err.text().find(c.log), std::string::npos) << err.text();
        } else {
            EXPECT_EQ(err.text(), "");
        }
    }
}

}  // namespace
