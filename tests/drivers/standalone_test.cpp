// SPDX-License-Identifier: BSD-2-Clause
// Stand-alone serial receiver in process: reset pulse, speed detection, antenna supply, lock.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "drivers/families.h"
#include "pty_peer.h"
#include "receiver/link.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace {

constexpr const char* kBurst =
    "$GPRMC,092751.000,A,5321.6802,N,00630.3371,W,0.06,31.66,280511,,,A*45\r\n"
    "$PTWS,VERSION,1.0*11\r\n"
    "$GPGGA,092751.000,5321.6802,N,00630.3371,W,1,8,1.03,61.7,M,55.3,M,,*75\r\n";
constexpr const char* kTxtBurst = "$GPTXT,01,01,02,ANTSTATUS=OK*3B\r\n";
// A multi-constellation receiver (NEO-M9N capture in tests/data): GN talker only.
constexpr const char* kGnBurst = "$GNRMC,223745.00,A,3806.62964,N,12237.61382,W,0.040,,110720,,,D,V*0E\r\n";
// What a line at the wrong speed makes of the receiver's output.
const std::string kGarbage("\xff\x00\xf8\x80\xfe\x1e\xe0\x00\x78\xff", 10);

// The receiver on "/dev/ttyS1": every 400 ms a burst at its own speed, and
// only unreadable bytes while the port is set to another one.
struct Receiver {
    peer::Pty pty{"/dev/ttyS1"};
    speed_t baud;
    std::string burst;
    bool once_per_open = false;      // one burst each time the port is set to the speed
    std::atomic<bool> flood{false};  // junk without pause, whatever the speed
    std::atomic<bool> running{true};
    std::atomic<int> bursts{0};
    std::atomic<int> rounds{0};  // looks at the port so far
    std::thread thread;

    Receiver(speed_t b, std::string text, bool once = false) : baud(b), burst(std::move(text)), once_per_open(once)
    {
        thread = std::thread([this] { loop(); });
    }
    ~Receiver()
    {
        running = false;
        thread.join();
    }
    // The driver's pauses take no time on the test clock; this one lets the
    // receiver look at the port (and use up its burst) while the driver
    // waits, as it would during the real pause.
    static void look_during_pause(long long, void* arg)
    {
        auto* rx = static_cast<Receiver*>(arg);
        const int seen = rx->rounds.load();
        for (int i = 0; i < 300 && rx->rounds.load() < seen + 2; ++i)
            usleep(10000);
    }
    void loop()
    {
        speed_t last = 0;
        while (running) {
            const speed_t now = pty.speed();
            char drain[512];
            while (read(pty.master, drain, sizeof drain) > 0) {
            }
            if (flood) {
                pty.send(std::string(4096, 'x'));
                usleep(20000);
                continue;
            }
            if (!burst.empty()) {
                if (now != baud)
                    pty.send(kGarbage);
                else if (!once_per_open || last != baud) {
                    pty.send(burst);
                    ++bursts;
                }
            }
            last = now;
            ++rounds;
            for (int i = 0; i < 8 && running; ++i)
                usleep(50000);
        }
    }
};

std::string root_path(const std::string& p)
{
    return th::process_root() + p;
}

void fresh_gpio()
{
    th::write_file(root_path("/dev/gpio"), "board_code=4\nplatform_id=20\n");
    std::remove(root_path("/dev/gpio.log").c_str());
}

std::string gpio_log()
{
    return th::read_file(root_path("/dev/gpio.log"));
}

const std::string kPulse = "0x40004214 1\n0x40004214 0\n";
const std::string kCloseRequests = "0x40004229 0\n0x40004214 1\n";

struct Accepted {
    speed_t baud;
    const char* burst;
    uint32_t antenna_active;
    const char* antenna_request;
};

void expect_accepted(const Accepted& c)
{
    fresh_gpio();
    Receiver rx(c.baud, c.burst);
    ReceiverLink link{};
    link.antenna_active = c.antenna_active;
    ASSERT_EQ(standalone_open(&link), 0);
    EXPECT_EQ(rx.pty.speed(), c.baud);
    EXPECT_STREQ(link.device_path, "/dev/ttyS1");
    EXPECT_GE(link.fd, 0);
    EXPECT_EQ(link.ignore_enabled, 1u);
    EXPECT_STREQ(link.ignore_prefix, "$PTWS");
    EXPECT_TRUE(th::file_exists(root_path("/run/lock/LCK..ttyS1")));
    EXPECT_EQ(gpio_log(), kPulse + c.antenna_request);
    standalone_close(&link);
    EXPECT_EQ(link.fd, -1);
    EXPECT_FALSE(th::file_exists(root_path("/run/lock/LCK..ttyS1")));
    EXPECT_EQ(gpio_log(), kPulse + c.antenna_request + kCloseRequests);
    // Closing again does nothing.
    standalone_close(&link);
    EXPECT_EQ(gpio_log(), kPulse + c.antenna_request + kCloseRequests);
}

TEST(StandaloneDriver, RmcAt9600WithAntennaSupply)
{
    th::process_root();
    expect_accepted({B9600, kBurst, 1, "0x40004228 0\n"});
}

TEST(StandaloneDriver, TxtOnlyAt115200WithoutAntennaSupply)
{
    th::process_root();
    expect_accepted({B115200, kTxtBurst, 0, "0x40004229 0\n"});
}

TEST(StandaloneDriver, GnTalkerOnlyAt9600)
{
    th::process_root();
    expect_accepted({B9600, kGnBurst, 1, "0x40004228 0\n"});
}

TEST(StandaloneDriver, NothingRecognisableAtEitherSpeed)
{
    th::process_root();
    struct Case {
        const char* legend;
        std::string burst;
        bool once;
    };
    const Case cases[] = {
        {"silence", "", false},
        {"only the first collection hears the receiver", kBurst, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        fresh_gpio();
        Receiver rx(B115200, c.burst, c.once);
        ReceiverLink link{};
        th::StderrCapture capture;
        clock_test_on_pause(Receiver::look_during_pause, &rx);
        EXPECT_EQ(standalone_open(&link), -1);
        clock_test_on_pause(nullptr, nullptr);
        EXPECT_EQ(link.fd, -1);
        EXPECT_NE(capture.text().find("gps: err: speed detection failed\n"), std::string::npos) << capture.text();
        EXPECT_FALSE(th::file_exists(root_path("/run/lock/LCK..ttyS1")));
        EXPECT_EQ(gpio_log(), kPulse);
        if (c.once) {
            EXPECT_EQ(rx.bursts.load(), 1);
        }
    }
}

// Junk without a pause never ends a collection by a gap: the byte limit ends
// it, so the detection still comes to an end at both speeds.
TEST(StandaloneDriver, EndlessJunkIsCutOff)
{
    th::process_root();
    fresh_gpio();
    Receiver rx(B115200, "");
    rx.flood = true;
    ReceiverLink link{};
    th::StderrCapture capture;
    EXPECT_EQ(standalone_open(&link), -1);
    EXPECT_NE(capture.text().find("gps: err: speed detection failed\n"), std::string::npos);
    EXPECT_FALSE(th::file_exists(root_path("/run/lock/LCK..ttyS1")));
}

TEST(StandaloneDriver, PortLockedByLiveProcess)
{
    th::process_root();
    fresh_gpio();
    Receiver rx(B9600, kBurst);
    pid_t holder = fork();
    if (holder == 0) {
        pause();
        _exit(0);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", holder);
    th::write_file(root_path("/run/lock/LCK..ttyS1"), text);
    ReceiverLink link{};
    th::StderrCapture capture;
    EXPECT_EQ(standalone_open(&link), -1);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_NE(capture.text().find("gps: err: device(/dev/ttyS1) is locked\ngps: err: locking /dev/ttyS1 failed\n"),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(th::read_file(root_path("/run/lock/LCK..ttyS1")), text);
    EXPECT_EQ(gpio_log(), "");
    std::remove(root_path("/run/lock/LCK..ttyS1").c_str());
}

}  // namespace
