// SPDX-License-Identifier: BSD-2-Clause
// The MQTT output in process against a broker peer, on the test clock: the
// back-off and its reset, the churn's log, a broker that stops acknowledging,
// the client id warning and a stop that never waits for the broker.
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fleet/mqtt.h"
#include "platform/clock.h"
#include "support/harness.h"
#include "support/inproc.h"
#include "support/mqtt_peer.h"

using namespace std::chrono_literals;

namespace {

// The output's settings with every text set, as the settings reader leaves them.
struct Settings {
    std::string host = "127.0.0.1", client_id, empty;
    MqttSettings s{};
    Settings(int port, const char* id)
    {
        client_id = id;
        char* e = empty.data();
        s = {1, host.data(), static_cast<uint32_t>(port), 0, e, e, e, e, e, client_id.data(), e, 1, 1, e, e, 0};
    }
};

struct Output {
    Settings settings;
    pthread_mutex_t store_lock = PTHREAD_MUTEX_INITIALIZER;
    MqttOutput* mq;
    Output(int port, const char* client_id = "truck7", const char* router_id = "")
        : settings(port, client_id), mq(mqtt_open(&settings.s, nullptr, router_id, "test", nullptr, &store_lock))
    {
        mqtt_start(mq);
    }
    ~Output()
    {
        clock_test_end();  // the goodbye waits on real time
        mqtt_close(mq);
    }
};

// An output on the test clock against a peer of its own, its log captured.
struct PeerRun {
    bool rooted = (th::process_root(), true);  // before anything logs
    th::StderrCapture log;
    th::TestClockRun clock;
    th::MqttPeer peer;
    Output out;
    explicit PeerRun(th::MqttPeer::Mode mode) : peer(mode), out(peer.port) {}
};

// Moves the test clock on in steps until pred holds or ms have passed; the
// clock reading at which it held, or -1.
// Each step waits for the settled state first, when one is given.
long long advance_until(long long ms, const std::function<bool()>& pred, long long step = 250,
                        const std::function<bool()>& settled = nullptr)
{
    for (long long done = 0; done <= ms; done += step) {
        if (pred())
            return monotonic_ms();
        if (settled) {
            EXPECT_TRUE(th::wait_until(settled, 5s));
        }
        EXPECT_TRUE(th::advance_settled(step));
    }
    return pred() ? monotonic_ms() : -1;
}

// No session under way: the output has seen the end of the last one.
std::function<bool()> between_sessions(th::MqttPeer& peer, const Output& out)
{
    return [&] { return !peer.in_session && std::string(mqtt_status(out.mq).state) != "connected"; };
}

// Connections that end at every publish are tried further and further apart,
// up to a minute, and the log hears of them once and then every ten minutes;
// once one lasts a minute with an acknowledgement, the next failure is tried
// again after a second.
TEST(MqttOutput, BackOffChurnSummaryAndItsReset)
{
    PeerRun run(th::MqttPeer::Mode::drops);
    th::MqttPeer& peer = run.peer;
    const Output& out = run.out;
    const th::StderrCapture& log = run.log;
    const long long start = monotonic_ms();
    ASSERT_GE(advance_until(
                  300'000, [&] { return peer.connections >= 10; }, 250, between_sessions(peer, out)),
              0)
        << log.text();
    const std::vector<long long> at = peer.sessions();
    const long long want[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
    for (std::size_t i = 0; i < std::size(want); ++i)
        EXPECT_NEAR(at[i + 1] - at[i], want[i] * 1000, 600) << "between attempts " << i + 1 << " and " << i + 2;
    // On to the summary in longer steps.
    ASSERT_GE(advance_until(
                  500'000, [&] { return peer.connections >= 17; }, 2000, between_sessions(peer, out)),
              0)
        << log.text();
    const std::string summary = "gps: warning: mqtt: broker 127.0.0.1:" + std::to_string(peer.port) + ": ";
    EXPECT_EQ(th::count_of(log.text(), "gps: notice: mqtt: connected"), 1) << log.text();
    EXPECT_EQ(th::count_of(log.text(), "gps: err: mqtt: broker"), 1) << log.text();
    EXPECT_EQ(th::count_of(log.text(), summary), 1) << log.text();
    EXPECT_NE(log.text().find(" connections in a row ended within 60 s (last: connection closed by the broker)"),
              std::string::npos)
        << log.text();
    EXPECT_GE(monotonic_ms() - start, 600'000);

    // A broker that takes the feed again: a minute later the connection counts as lasting.
    peer.mode = th::MqttPeer::Mode::acks;
    const int before = peer.connections;
    ASSERT_GE(advance_until(
                  61'000, [&] { return peer.connections > before; }, 250, between_sessions(peer, out)),
              0);
    ASSERT_GE(advance_until(62'000, [&] { return log.text().find("and it lasts") != std::string::npos; }), 0)
        << log.text();
    EXPECT_NE(log.text().find("gps: notice: mqtt: connected to broker 127.0.0.1:" + std::to_string(peer.port) +
                              ", and it lasts (17 connections before ended early)"),
              std::string::npos)
        << log.text();
    peer.end_session = true;
    ASSERT_TRUE(th::wait_until([&] { return std::string(mqtt_status(out.mq).state) == "waiting"; }, 5s));
    const long long ended = monotonic_ms();
    ASSERT_GE(advance_until(5000, [&] { return peer.connections > before + 1; }), 0);
    EXPECT_NEAR(peer.sessions().back() - ended, 1000, 600);
}

// A broker that takes the connect and then acknowledges nothing: the
// connection is given up once that lasted the keep-alive, not before.
TEST(MqttOutput, NoAcknowledgementForTheKeepAliveEndsTheConnection)
{
    PeerRun run(th::MqttPeer::Mode::silent);
    th::MqttPeer& peer = run.peer;
    const th::StderrCapture& log = run.log;
    ASSERT_GE(advance_until(2000, [&] { return peer.connections == 1; }), 0);
    ASSERT_GE(advance_until(40'000, [&] { return peer.connections == 2; }), 0);
    const std::vector<long long> at = peer.sessions();
    EXPECT_NEAR(at[1] - at[0], 31'000, 600);
    EXPECT_NE(log.text().find("the broker acknowledged nothing for 30 s, "), std::string::npos) << log.text();
}

// A client id that many routers share (the host name of a distribution, no
// router id, none set) is warned about at the start; a router id or an id of
// its own is not.
TEST(MqttOutput, ACommonDefaultClientIdIsWarnedAbout)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a host name of its own needs root";
    th::process_root();
    struct Case {
        const char* client_id;
        const char* router_id;
        int warnings;
    };
    for (const Case c : {Case{"", "", 1}, Case{"", "r7", 0}, Case{"OpenWrt", "", 0}}) {
        SCOPED_TRACE(std::string(c.client_id) + "/" + c.router_id);
        th::StderrCapture log;
        // The host name of a thread of its own, in a namespace of its own.
        std::thread([&] {
            ASSERT_EQ(unshare(CLONE_NEWUTS), 0);
            ASSERT_EQ(sethostname("OpenWrt", 7), 0);
            Output out(1, c.client_id, c.router_id);
        }).join();
        EXPECT_EQ(th::count_of(log.text(), "mqtt: the client id \"OpenWrt\" is the host name most routers have"),
                  c.warnings)
            << log.text();
    }
}

// A stop ends within a second, also while the broker acknowledges nothing
// (the goodbye waits for its acknowledgement only so long).
TEST(MqttOutput, AStopEndsWithinASecondWhateverTheBroker)
{
    th::process_root();
    th::MqttPeer peer(th::MqttPeer::Mode::silent);
    auto out = std::make_unique<Output>(peer.port);
    ASSERT_TRUE(th::wait_until([&] { return peer.publishes >= 1; }, 10s));
    const auto t0 = std::chrono::steady_clock::now();
    out.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

}  // namespace
