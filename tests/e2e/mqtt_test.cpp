// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed end to end: the daemon under a simulation root publishing to
// a mosquitto broker started on a free loopback port, read back by
// mosquitto_sub.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nmea/interpret.h"
#include "support/e2e.h"
#include "support/fleet_kit.h"
#include "support/harness.h"
#include "support/mqtt_peer.h"

using namespace std::chrono_literals;
using th::Broker;
using th::cycle_of;
using th::DaemonRun;
using th::drive_capture;
using th::field;
using th::fleet_child;
using th::have_broker;
using th::Message;
using th::mqtt_keys;
using th::mqtt_status;
using th::output_of;
using th::sh;
using th::Subscriber;

namespace {

std::vector<std::string> items(const std::string& sentence)
{
    std::vector<std::string> out;
    std::size_t pos = 0;
    const std::size_t end = sentence.find('*');
    for (;;) {
        const std::size_t c = sentence.find(',', pos);
        if (c == std::string::npos || c > end) {
            out.push_back(sentence.substr(pos, end - pos));
            return out;
        }
        out.push_back(sentence.substr(pos, c - pos));
        pos = c + 1;
    }
}

double degrees(const std::string& v, const std::string& h)
{
    const double x = std::atof(v.c_str());
    const double d = std::floor(x / 100) + (x - std::floor(x / 100) * 100) / 60;
    return h == "S" || h == "W" ? -d : d;
}

// Checks a position object against the last GGA or GNS with a fix of the
// cycle it came with (the RMC when there is none).
void expect_position_of(const std::string& json, const std::string& nmea)
{
    std::vector<std::string> fix, rmc;
    for (const std::string& line : th::lines_of(nmea)) {
        const std::vector<std::string> f = items(line);
        if (f[0].size() == 6 && (f[0].compare(3, 3, "GGA") == 0 || f[0].compare(3, 3, "GNS") == 0) && f.size() > 5 &&
            !f[2].empty())
            fix = f;
        if (f[0].size() == 6 && f[0].compare(3, 3, "RMC") == 0 && f.size() > 9)
            rmc = f;
    }
    const std::vector<std::string>& src = fix.empty() ? rmc : fix;
    ASSERT_FALSE(src.empty()) << "a position from a cycle without one: " << nmea;
    const int lat = fix.empty() ? 3 : 2;
    EXPECT_NEAR(std::atof(field(json, "lat").c_str()), degrees(src[lat], src[lat + 1]), 1e-6) << json << "\n" << nmea;
    EXPECT_NEAR(std::atof(field(json, "lon").c_str()), degrees(src[lat + 2], src[lat + 3]), 1e-6) << json;
    const std::string t = field(json, "time");
    if (!t.empty()) {
        EXPECT_EQ(t.substr(11, 8), src[1].substr(0, 2) + ":" + src[1].substr(2, 2) + ":" + src[1].substr(4, 2)) << json;
    }
    if (!fix.empty() && fix[0].compare(3, 3, "GGA") == 0) {
        EXPECT_EQ(field(json, "fix"), std::to_string(std::atoi(fix[6].c_str()))) << json;
        if (!fix[9].empty())
            EXPECT_NEAR(std::atof(field(json, "alt").c_str()), std::atof(fix[9].c_str()), 1e-9) << json;
        else
            EXPECT_EQ(field(json, "alt"), "") << json;
    }
    if (!rmc.empty() && rmc[1] == src[1] && !rmc[7].empty()) {
        EXPECT_NEAR(std::atof(field(json, "speed").c_str()), std::atof(rmc[7].c_str()) * 1.852, 0.051) << json;
    }
}

// Every scenario has a broker of its own and a fleet backend subscribed to
// everything the daemons publish.
class MqttE2e : public ::testing::Test {
protected:
    Broker broker;
    Subscriber sub;

    void SetUp() override
    {
        if (!have_broker())
            GTEST_SKIP() << "no MQTT in this build, or mosquitto is not installed (scripts/install-deps.sh)";
    }
    void up(const std::string& broker_config = "", const std::vector<std::string>& sub_args = {})
    {
        broker.start(broker_config);
        sub.start(broker.port, sub_args);
    }
};

}  // namespace

// Real captures: each position agrees with the sentences of its cycle, the
// NMEA topic carries exactly what a remote stream gets, the status is
// retained and says "offline" at a clean stop; the control socket reports it.
TEST_F(MqttE2e, PositionsFromRealCapturesTheNmeaTopicAndTheStatus)
{
    // Two vehicles with receivers of their own publish to one broker at once.
    up();
    const char* const captures[] = {"gpsd-ublox-neo-m9n-nmea.nmea", "gpsd-telit-pls83-w.nmea"};
    const std::string ids[] = {"truck7", "truck8"};
    DaemonRun runs[2];
    for (int v = 0; v < 2; ++v)
        runs[v].launch(th::read_file(th::data_path(captures[v])),
                       mqtt_keys(broker.port, 1, 1,
                                 {"MOD_GPS_MQTT_NMEA=1", "MOD_GPS_SRI_ENABLED=1",
                                  "MOD_GPS_ROUTER_ID_STRING=" + ids[v]}));
    auto of = [&](int v, const std::string& leaf) {
        std::vector<Message> out;
        for (const Message& m : sub.messages())
            if (m.topic == "gnss/" + ids[v] + leaf)
                out.push_back(m);
        return out;
    };
    std::string status[2];
    for (int v = 0; v < 2; ++v) {
        runs[v].wait_running();
        ASSERT_TRUE(th::wait_until([&] { return of(v, "/position").size() >= 4; }, 30s))
            << runs[v].daemon.log() << sub.proc.log();
        status[v] = th::exchange(th::connect_unix(runs[v].root.path + "/run/gps.socket"), "status\n");
    }
    // The summary for a person has a line of its own for the feed.
    const std::string summary = th::exchange(th::connect_unix(runs[0].root.path + "/run/gps.socket"), "status text\n");
    EXPECT_NE(summary.find("\nmqtt: tcp 127.0.0.1:" + std::to_string(broker.port) + " connected, "), std::string::npos)
        << summary;
    for (int v = 0; v < 2; ++v) {
        SCOPED_TRACE(captures[v]);
        DaemonRun& run = runs[v];
        EXPECT_TRUE(run.daemon.stop(SIGTERM, 10s));
        ASSERT_TRUE(th::wait_until(
            [&] { return !of(v, "/status").empty() && of(v, "/status").back().payload == "{\"state\":\"offline\"}"; },
            5s));

        // The status: online at the connect, retained, with family and version.
        const auto st = of(v, "/status");
        ASSERT_GE(st.size(), 2u);
        EXPECT_EQ(field(st[0].payload, "state"), "online") << st[0].payload;
        EXPECT_FALSE(field(st[0].payload, "family").empty()) << st[0].payload;
        EXPECT_FALSE(field(st[0].payload, "version").empty()) << st[0].payload;
        EXPECT_NE(status[v].find("\"mqtt\":{\"enabled\":true,\"host\":\"127.0.0.1\",\"port\":" +
                                 std::to_string(broker.port) + ",\"tls\":false,\"state\":\"connected\""),
                  std::string::npos)
            << status[v];

        // Every position follows the NMEA of its own cycle; the NMEA is what
        // the remote stream got, byte for byte, the identification sentence too.
        const std::string twice = th::read_file(th::data_path(captures[v])) + th::read_file(th::data_path(captures[v]));
        const std::string fid = "$GPFID," + ids[v] + "\r\n";
        std::string nmea;
        int checked = 0;
        for (const Message& m : sub.messages()) {
            if (m.topic == "gnss/" + ids[v] + "/nmea") {
                EXPECT_FALSE(m.retained);
                // The receiver's sentences as they came, an identification behind each RMC.
                std::string plain;
                const auto lines = th::lines_of(m.payload);
                for (std::size_t i = 0; i < lines.size(); ++i) {
                    if (lines[i] == fid) {
                        EXPECT_TRUE(i > 0 && nmea_is_rmc(lines[i - 1].data(), lines[i - 1].size())) << m.payload;
                        continue;
                    }
                    if (nmea_is_rmc(lines[i].data(), lines[i].size())) {
                        EXPECT_TRUE(i + 1 < lines.size() && lines[i + 1] == fid) << m.payload;
                    }
                    plain += lines[i];
                }
                EXPECT_NE(twice.find(plain), std::string::npos) << m.payload;
                nmea = m.payload;
            } else if (m.topic == "gnss/" + ids[v] + "/position") {
                EXPECT_EQ(field(m.payload, "moving") == "true" || field(m.payload, "moving") == "false", true);
                expect_position_of(m.payload, nmea);
                ++checked;
            }
        }
        EXPECT_GE(checked, 4);
    }
}

namespace {

// Moving and standing paces, then the will once the daemon is killed.
void pace_moving_and_standing_then_the_will(Broker& broker, Subscriber& sub)
{
    DaemonRun run;
    run.start(drive_capture(3600, [](int i) { return i % 12 < 6; }), mqtt_keys(broker.port, 2, 3));
    ASSERT_TRUE(th::wait_until(
        [&] {
            const auto p = sub.on("/position");
            int halted = 0, moved = 0;
            for (auto& m : p)
                ++(field(m.payload, "moving") == "true" ? moved : halted);
            return moved >= 3 && halted >= 3;
        },
        40s))
        << sub.proc.log();
    const auto p = sub.on("/position");
    for (std::size_t i = 1; i < p.size(); ++i) {
        const int gap = cycle_of(p[i].payload) - cycle_of(p[i - 1].payload);
        const int period = field(p[i].payload, "moving") == "true" ? 2 : 3;
        EXPECT_GE(gap, period - 1) << p[i - 1].payload << "\n" << p[i].payload;
        EXPECT_LE(gap, period + 1) << p[i - 1].payload << "\n" << p[i].payload;
    }
    EXPECT_EQ(field(p[0].payload, "lat"), "-43.553170");
    EXPECT_EQ(field(p[0].payload, "lon"), "-1.460305");

    // A process that vanishes leaves its will; a new subscriber finds it
    // and the last position, both retained.
    ASSERT_EQ(kill(run.daemon.pid, SIGKILL), 0);
    ASSERT_TRUE(th::wait_until(
        [&] { return sub.on("/status").size() >= 2 && sub.on("/status").back().payload == "{\"state\":\"offline\"}"; },
        10s));
    run.daemon.wait_exit(5s);
    Subscriber late;
    late.start(broker.port, {"-W", "2"});
    ASSERT_TRUE(late.proc.wait_exit(5s));
    const auto kept = late.messages();
    ASSERT_EQ(kept.size(), 2u) << late.proc.log();
    for (auto& m : kept) {
        EXPECT_TRUE(m.retained) << m.topic;
        if (m.topic == "gnss/truck7/status") {
            EXPECT_EQ(m.payload, "{\"state\":\"offline\"}");
        } else {
            EXPECT_EQ(m.topic, "gnss/truck7/position");
            EXPECT_EQ(m.payload, sub.on("/position").back().payload);
        }
    }
}

// A 5 Hz receiver at a pace of 1 s: a position for every cycle. The broker
// goes away for 20 s and comes back: the daemon is connected again within
// moments, every position of the outage arrives once, in order, after the
// reconnect (QoS 1; a resend only where an acknowledgement was lost), and
// the status report shows the backlog.
void a_broker_outage_loses_no_position(Broker& broker, Subscriber& sub)
{
    DaemonRun run;
    run.sim_args = {"--rate", "5"};
    run.start(drive_capture(3600, [](int) { return true; }), mqtt_keys(broker.port, 1, 1));
    ASSERT_TRUE(th::wait_until([&] { return sub.on("/position").size() >= 3; }, 30s)) << sub.proc.log();
    const auto stopped = std::chrono::steady_clock::now();
    broker.stop();
    ASSERT_TRUE(run.daemon.wait_log("gps: err: mqtt: broker 127.0.0.1:" + std::to_string(broker.port) + ": ", 10s))
        << run.daemon.log();
    ASSERT_TRUE(th::wait_until([&] { return std::atoi(field(mqtt_status(run), "backlog").c_str()) >= 4; }, 15s))
        << mqtt_status(run);

    std::this_thread::sleep_until(stopped + 20s);
    // The loss and the refused attempts after it, each named once.
    const std::string broker_at = "gps: err: mqtt: broker 127.0.0.1:" + std::to_string(broker.port) + ": ";
    EXPECT_EQ(th::count_of(run.daemon.log(), broker_at + "connection closed by the broker\n"), 1) << run.daemon.log();
    EXPECT_EQ(th::count_of(run.daemon.log(), broker_at + "Connection refused\n"), 1) << run.daemon.log();
    const std::string during = mqtt_status(run);
    EXPECT_GE(std::atoi(field(during, "backlog").c_str()), 15) << during;
    EXPECT_EQ(field(during, "state") == "waiting" || field(during, "state") == "connecting", true) << during;
    EXPECT_FALSE(field(during, "last_error").empty()) << during;
    broker.start();
    // Attempts back off to 16 s by now, but the broker's return is seen.
    const auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        th::wait_until([&] { return th::count_of(run.daemon.log(), "gps: notice: mqtt: connected to broker") >= 2; },
                       45s, 10ms))
        << run.daemon.log();
    const auto reconnect_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back).count();
    std::printf("reconnected %lld ms after the broker took connections again\n", static_cast<long long>(reconnect_ms));
    EXPECT_LE(reconnect_ms, 5000) << run.daemon.log();
    const int backlog = std::atoi(field(during, "backlog").c_str());
    ASSERT_TRUE(th::wait_until(
        [&] {
            const auto p = sub.on("/position");
            return !p.empty() && std::atoi(field(mqtt_status(run), "backlog").c_str()) == 0 &&
                   p.size() >= 3u + static_cast<unsigned>(backlog) + 2;
        },
        30s))
        << sub.proc.log() << mqtt_status(run);
    const auto p = sub.on("/position");
    int expected = cycle_of(p[0].payload), resent = 0;
    for (auto& m : p) {
        const int c = cycle_of(m.payload);
        if (c < expected) {
            ++resent;  // a resend after a lost acknowledgement
            continue;
        }
        EXPECT_EQ(c, expected) << "a position lost or out of order";
        expected = c + 1;
    }
    EXPECT_LE(resent, 20);
    const std::string after = mqtt_status(run);
    EXPECT_EQ(field(after, "state"), "connected") << after;
    EXPECT_EQ(field(after, "dropped"), "0") << after;
    EXPECT_EQ(field(after, "last_error"), "null") << after;
}

}  // namespace

// Both wait on real time (paces, an outage of 20 s): side by side, each with
// a broker and a backend of its own.
TEST_F(MqttE2e, PaceAndTheWillBesideABrokerOutage)
{
    up();
    Broker other;
    other.start();
    Subscriber other_sub;
    other_sub.start(other.port);
    th::run_side_by_side(
        {{"PaceMovingAndStandingThenTheWillAfterAKill", [&] { pace_moving_and_standing_then_the_will(broker, sub); }},
         {"ABrokerOutageLosesNoPosition", [&] { a_broker_outage_loses_no_position(other, other_sub); }}});
}

// TLS with a CA and a server certificate made here, a password file: the
// right settings publish; an unknown CA, a wrong host name and a wrong
// password publish nothing and say why, once, naming the broker.
TEST_F(MqttE2e, TlsAndPasswordsOrAClearErrorAndNothingPublished)
{
    if (!sh("command -v openssl"))
        GTEST_SKIP() << "openssl is not installed (scripts/install-deps.sh)";
    const std::string d = broker.dir.path;
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ASSERT_TRUE(sh("cd " + d + " && openssl req -x509 " + ec +
                   " -keyout ca.key -out ca.pem -days 2 -subj /CN=fleet-ca" + " && openssl req -x509 " + ec +
                   " -keyout other.key -out other.pem -days 2 -subj /CN=fleet-ca" + " && openssl req " + ec +
                   " -keyout server.key -out server.csr -subj /CN=localhost" +
                   " && printf 'subjectAltName=DNS:localhost\\n' >ext" +
                   " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2" +
                   " -extfile ext -out server.pem && mosquitto_passwd -b -c passwd fleet s3cret"));
    up("allow_anonymous false\npassword_file " + d + "/passwd\ncafile " + d + "/ca.pem\ncertfile " + d +
           "/server.pem\nkeyfile " + d + "/server.key\n",
       {"--cafile", d + "/ca.pem", "--insecure", "-u", "fleet", "-P", "s3cret"});
    struct Case {
        const char* name;
        const char* host;
        const char* ca;
        const char* password;
        const char* reason;  // "" for none
    };
    const Case cases[] = {
        {"good", "localhost", "ca.pem", "s3cret", ""},
        {"ca", "localhost", "other.pem", "s3cret", "TLS: "},
        {"host", "127.0.0.1", "ca.pem", "s3cret", "TLS: hostname mismatch"},
        {"password", "localhost", "ca.pem", "wrong", "refused: "},
    };
    DaemonRun runs[4];
    for (int i = 0; i < 4; ++i) {
        const Case& c = cases[i];
        runs[i].files["/etc/fleet-ca.pem"] = th::read_file(d + "/" + c.ca);
        runs[i].launch(drive_capture(3600, [](int) { return true; }),
                       mqtt_keys(broker.port, 1, 1,
                                 {std::string("MOD_GPS_MQTT_HOST=") + c.host, "MOD_GPS_MQTT_TLS=1",
                                  "MOD_GPS_MQTT_CAFILE=/etc/fleet-ca.pem", "MOD_GPS_MQTT_USERNAME=fleet",
                                  std::string("MOD_GPS_MQTT_PASSWORD=") + c.password,
                                  std::string("MOD_GPS_MQTT_TOPIC=gnss/") + c.name}));
    }
    for (DaemonRun& r : runs)
        r.wait_running();
    ASSERT_TRUE(th::wait_until([&] { return sub.on("/position").size() >= 3; }, 30s))
        << sub.proc.log() << runs[0].daemon.log();
    for (int i = 1; i < 4; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string line = "gps: err: mqtt: broker " + std::string(c.host) + ":" + std::to_string(broker.port) +
                                 ": " + c.reason;
        EXPECT_TRUE(runs[i].daemon.wait_log(line, 10s)) << runs[i].daemon.log();
        EXPECT_EQ(th::count_of(runs[i].daemon.log(), "gps: err: mqtt:"), 1) << runs[i].daemon.log();
        const std::string st = mqtt_status(runs[i]);
        EXPECT_NE(field(st, "last_error").find(c.reason), std::string::npos) << st;
        EXPECT_EQ(field(st, "published"), "0") << st;
        EXPECT_EQ(field(st, "tls"), "true") << st;
        EXPECT_EQ(field(st, "port"), std::to_string(broker.port)) << st;
    }
    for (const Message& m : sub.messages())
        EXPECT_EQ(m.topic.rfind("gnss/good/", 0), 0u) << m.topic << " " << m.payload;
    EXPECT_EQ(runs[0].daemon.log().find("gps: err: mqtt"), std::string::npos) << runs[0].daemon.log();
}

namespace {

// System calls strace wrote for one thread (lines "TID call(...)"), an
// interrupted call and its resumption counted once.
int calls_of(const std::string& trace, int tid)
{
    int n = 0;
    const std::string head = std::to_string(tid) + " ";
    for (const std::string& line : th::lines_of(trace))
        if (line.rfind(head, 0) == 0 && line.find("resumed>") == std::string::npos && line[head.size()] != '+' &&
            line[head.size()] != '-')
            ++n;
    return n;
}

}  // namespace

// MQTT switched off with every other key of it set: no thread, no connection,
// the serial output gets the receiver's bytes unchanged. Switched on, the
// main loop makes no more system calls than without it: publishing is the
// worker's job.
TEST_F(MqttE2e, OffStartsNothingAndOnCostsTheMainLoopNothing)
{
    up();
    DaemonRun off, on;
    const std::string capture = drive_capture(3600, [](int) { return true; });
    for (DaemonRun* r : {&off, &on}) {
        r->sim_args = {"--outputs"};
        r->launch(capture,
                  mqtt_keys(broker.port, 1, 1,
                            {"MOD_GPS_EP1_ENABLED=1", r == &off ? "MOD_GPS_MQTT_ENABLED=0" : "MOD_GPS_MQTT_ENABLED=1",
                             "MOD_GPS_MQTT_TOPIC=gnss/" + std::string(r == &off ? "off" : "on")}));
    }
    off.wait_running();
    on.wait_running();
    ASSERT_TRUE(th::wait_until([&] { return sub.on("/position").size() >= 2; }, 30s)) << on.daemon.log();
    EXPECT_EQ(off.daemon.thread_count() + 1, on.daemon.thread_count());
    EXPECT_NE(mqtt_status(off).find("\"enabled\":false"), std::string::npos) << mqtt_status(off);
    EXPECT_NE(mqtt_status(off).find("\"state\":\"disabled\""), std::string::npos) << mqtt_status(off);

    // Both daemons traced for the same five seconds, every thread of each.
    const bool emulated = th::program_argv(th::daemon_bin()).size() > 1;  // strace would see the emulator
    if (!emulated && sh("command -v strace")) {
        th::Process trace[2];
        DaemonRun* runs[2] = {&off, &on};
        for (int i = 0; i < 2; ++i)
            trace[i].start({"/usr/bin/timeout", "-s", "INT", "5", "strace", "-f", "-qq", "-o",
                            runs[i]->root.path + "/strace.out", "-p", std::to_string(runs[i]->daemon.pid)},
                           {}, runs[i]->root.path + "/strace.log");
        for (th::Process& t : trace)
            ASSERT_TRUE(t.wait_exit(15s));
        const std::string off_trace = th::read_file(off.root.path + "/strace.out");
        const std::string on_trace = th::read_file(on.root.path + "/strace.out");
        ASSERT_GT(calls_of(off_trace, off.daemon.pid), 0) << th::read_file(off.root.path + "/strace.log");
        const std::string broker_port = "sin_port=htons(" + std::to_string(broker.port) + ")";
        EXPECT_EQ(off_trace.find(broker_port), std::string::npos);
        // At 1 Hz five seconds are five or six cycles: at most 24 calls each,
        // and none more than without MQTT beyond a wake-up of the worker.
        const int calls_off = calls_of(off_trace, off.daemon.pid), calls_on = calls_of(on_trace, on.daemon.pid);
        EXPECT_LE(calls_on, 24 * 6) << on_trace;
        EXPECT_LE(calls_on, calls_off + 12) << "off " << calls_off << ", on " << calls_on;
        std::printf("main thread over 5 s: %d system calls with MQTT off, %d with it on\n", calls_off, calls_on);
    }

    // The serial output of both: the same bytes, cycle for cycle from the
    // first (the module streams once started).
    std::string out[2];
    for (DaemonRun* r : {&off, &on}) {
        std::string& o = out[r == &on];
        ASSERT_TRUE(th::wait_until(
            [&] { return th::count_of(o = th::read_file(r->root.path + "/sim/out-ttyS0"), "$GPRMC") > 3; }, 10s));
    }
    const std::size_t common = std::min(out[0].size(), out[1].size());
    EXPECT_EQ(out[0].substr(0, common), out[1].substr(0, common));
    const std::size_t first_cycle = capture.find("$GPRMC");
    EXPECT_EQ(out[0].rfind(capture.substr(0, capture.find('\n', first_cycle) + 1), 0), 0u) << out[0];
}

// A broker name that the name server never answers: the daemon runs and
// stops as it would without the feed, and says nothing wrong of the broker
// before the lookup has given up.
TEST_F(MqttE2e, AStopDoesNotWaitForTheBrokersName)
{
    // A name server of our own that takes every question and answers none,
    // seen only by the daemon (a mount namespace of its own).
    const int mute = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(0x7F000007);  // 127.0.0.7
    if (bind(mute, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !sh("command -v unshare") ||
        !sh("unshare -m true")) {
        close(mute);
        GTEST_SKIP() << "needs root for port 53 and a mount namespace (unshare -m)";
    }
    DaemonRun run;
    th::write_file(run.root.path + "/resolv.conf", "nameserver 127.0.0.7\noptions timeout:5 attempts:3\n");
    run.wrap = {"unshare", "-m", "sh", "-c", "mount --bind '" + run.root.path + "/resolv.conf' /etc/resolv.conf"};
    run.start(drive_capture(3600, [](int) { return true; }),
              mqtt_keys(1883, 1, 1, {"MOD_GPS_MQTT_HOST=broker.fleet.example", "MOD_GPS_EP1_ENABLED=1"}));
    EXPECT_EQ(field(mqtt_status(run), "state"), "connecting") << mqtt_status(run);
    // The positions queue meanwhile, each one kept, none in the place of another
    // (an emulated fleet process takes seconds to start: the wait allows for it).
    EXPECT_TRUE(th::wait_until([&] { return std::atoi(field(mqtt_status(run), "backlog").c_str()) >= 4; }, 25s))
        << mqtt_status(run);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(run.daemon.stop(SIGTERM, 10s)) << run.daemon.log();
    EXPECT_LT(th::seconds_since(t0), 3.0) << run.daemon.log();
    EXPECT_EQ(run.daemon.log().find("gps: err: mqtt:"), std::string::npos) << run.daemon.log();
    EXPECT_NE(run.daemon.log().find("gps: notice: stopped"), std::string::npos) << run.daemon.log();
    close(mute);
}

namespace {

// The real user id of a process, from /proc.
int uid_of(pid_t pid)
{
    const std::string s = th::read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = s.find("\nUid:");
    return at == std::string::npos ? -1 : std::atoi(s.c_str() + at + 5);
}

}  // namespace

// The broker is reached from a process of its own that runs as no root and
// is started again when it dies; the service links nothing but the C
// library, maps no TLS code, never pauses its serial output for the fleet
// process and stops in time even when that process is frozen.
TEST_F(MqttE2e, TheFleetProcessIsApartSupervisedAndNeverHoldsTheService)
{
    up();
    const bool emulated = th::program_argv(th::daemon_bin()).size() > 1;
    if (!emulated && sh("command -v readelf")) {
        const std::string needed = output_of("readelf -d '" + th::daemon_bin() + "' | grep NEEDED");
        // A sanitizer build brings its runtime and what that needs.
        const bool sanitized = needed.find("[libasan") != std::string::npos ||
                               needed.find("[libtsan") != std::string::npos;
        for (const std::string& line : th::lines_of(needed)) {
            const bool runtime = line.find("[libasan") != std::string::npos ||
                                 line.find("[libtsan") != std::string::npos ||
                                 line.find("[libubsan") != std::string::npos ||
                                 line.find("[libm.so") != std::string::npos;
            EXPECT_TRUE(line.find("[libc.so") != std::string::npos || line.find("[ld-linux") != std::string::npos ||
                        (sanitized && runtime))
                << line;
        }
    }
    DaemonRun run;
    run.sim_args = {"--outputs"};
    run.start(drive_capture(3600, [](int) { return true; }), mqtt_keys(broker.port, 1, 1, {"MOD_GPS_EP1_ENABLED=1"}));
    ASSERT_TRUE(th::wait_until([&] { return sub.on("/position").size() >= 2; }, 30s)) << run.daemon.log();
    const pid_t first = fleet_child(run.daemon.pid);
    ASSERT_GT(first, 0) << run.daemon.log();
    if (getuid() == 0 && !emulated) {
        EXPECT_NE(uid_of(first), 0) << "the fleet process still runs as root";
    }
    const std::string maps = th::read_file("/proc/" + std::to_string(run.daemon.pid) + "/maps");
    for (const char* lib : {"libssl", "libcrypto", "libmosquitto", "libsqlite3", "libcurl"})
        EXPECT_EQ(maps.find(lib), std::string::npos) << lib << " mapped in the service";

    // Killed: the serial output goes on without a pause, a new fleet process
    // takes over within its back-off and the positions go on from where they were.
    const std::string serial = run.root.path + "/sim/out-ttyS0";
    ASSERT_EQ(kill(first, SIGKILL), 0);
    std::size_t size = th::read_file(serial).size();
    auto grew_at = std::chrono::steady_clock::now();
    double longest_pause = 0;
    pid_t second = -1;
    const auto killed = std::chrono::steady_clock::now();
    while (th::seconds_since(killed) < 5.0) {
        std::this_thread::sleep_for(100ms);
        const std::size_t now = th::read_file(serial).size();
        if (now != size) {
            longest_pause = std::max(longest_pause, th::seconds_since(grew_at));
            grew_at = std::chrono::steady_clock::now();
            size = now;
        }
        if (second <= 0)
            second = fleet_child(run.daemon.pid);
    }
    EXPECT_LT(longest_pause, 1.6) << "the serial output paused while the fleet process was away";
    ASSERT_GT(second, 0) << run.daemon.log();
    EXPECT_NE(second, first);
    EXPECT_TRUE(
        run.daemon.wait_log("gps: warning: fleet: the fleet process ended by signal 9, starting it again in 1 s", 1s))
        << run.daemon.log();
    const std::size_t before = sub.on("/position").size();
    ASSERT_TRUE(th::wait_until([&] { return sub.on("/position").size() >= before + 3; }, 15s)) << run.daemon.log();
    const auto p = sub.on("/position");
    int gaps = 0;
    for (std::size_t i = 1; i < p.size(); ++i) {
        const int gap = cycle_of(p[i].payload) - cycle_of(p[i - 1].payload);
        EXPECT_GE(gap, 0) << "out of order";
        // What the killed process held (the cycle it was filling) is the most that goes.
        EXPECT_LE(gap, 3) << p[i - 1].payload << "\n" << p[i].payload;
        gaps += gap > 1 ? 1 : 0;
    }
    EXPECT_LE(gaps, 1);

    // Frozen: the service's stop still ends in time and leaves no fleet process.
    ASSERT_EQ(kill(second, SIGSTOP), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(run.daemon.stop(SIGTERM, 10s)) << run.daemon.log();
    EXPECT_LT(th::seconds_since(t0), 4.0) << run.daemon.log();
    EXPECT_NE(kill(second, 0), 0) << "a fleet process outlived the service";
}

using HostileBroker = th::MqttPeer;

// What a hostile broker does costs the router no memory and the log no storm:
// a broker that acknowledges nothing gets a bounded number of messages and
// the NMEA beyond them is dropped and counted, a declared giant packet ends
// the connection unread with one clear line, and connections that end at
// every publish are retried further and further apart, logged once.
TEST_F(MqttE2e, AHostileBrokerCostsNoMemoryNoHangAndNoStorm)
{
    struct Case {
        const char* legend;
        HostileBroker::Mode mode;
        bool fifo_ca;  // the CA file a FIFO no one writes
    } cases[] = {
        {"acknowledges nothing", HostileBroker::Mode::silent, false},
        {"declares a packet of 268 MB", HostileBroker::Mode::huge, false},
        {"drops every publish", HostileBroker::Mode::drops, false},
        {"behind a CA file that is a FIFO", HostileBroker::Mode::none, true},
    };
    // Side by side, each daemon with a hostile broker of its own.
    std::unique_ptr<HostileBroker> hostile[4];
    DaemonRun runs[4];
    for (int i = 0; i < 4; ++i) {
        hostile[i] = std::make_unique<HostileBroker>(cases[i].mode);
        ASSERT_GT(hostile[i]->port, 0);
        runs[i].sim_args = {"--rate", "20"};
        std::vector<std::string> keys{"MOD_GPS_MQTT_NMEA=1", "MOD_GPS_MQTT_CLIENT_ID=truck7"};
        if (cases[i].fifo_ca) {
            std::filesystem::create_directories(runs[i].root.path + "/etc");
            ASSERT_EQ(mkfifo((runs[i].root.path + "/etc/ca.pem").c_str(), 0644), 0);
            keys.insert(keys.end(), {"MOD_GPS_MQTT_TLS=1", "MOD_GPS_MQTT_CAFILE=/etc/ca.pem"});
        }
        runs[i].launch(drive_capture(3600, [](int) { return true; }), mqtt_keys(hostile[i]->port, 1, 1, keys));
    }
    for (DaemonRun& r : runs)
        r.wait_running();
    std::this_thread::sleep_for(9s);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(cases[i].legend);
        const HostileBroker& broker = *hostile[i];
        const std::string status = mqtt_status(runs[i]), log = runs[i].daemon.log();
        switch (cases[i].mode) {
        case HostileBroker::Mode::silent:
            // The window of positions is all the library holds; NMEA beyond the bound is dropped.
            EXPECT_LE(std::atoi(field(status, "published").c_str()), 20) << status;
            EXPECT_LE(broker.publishes.load(), 48) << status;
            EXPECT_GT(std::atoi(field(status, "dropped").c_str()), 0) << status;
            EXPECT_NE(field(status, "last_error").find("acknowledges nothing"), std::string::npos) << status;
            break;
        case HostileBroker::Mode::huge:
            EXPECT_EQ(th::count_of(log, "the broker sent a packet larger than any answer"), 1) << log;
            break;
        case HostileBroker::Mode::drops:
            // Attempts 1, 2 and 4 s apart, the churn logged once.
            EXPECT_GE(broker.connections.load(), 2) << log;
            EXPECT_LE(broker.connections.load(), 5) << log;
            EXPECT_LE(th::count_of(log, "gps: notice: mqtt: connected"), 1) << log;
            EXPECT_LE(th::count_of(log, "gps: err: mqtt: broker"), 1) << log;
            break;
        case HostileBroker::Mode::acks:  // a sound broker, no case here
            break;
        case HostileBroker::Mode::none:
            EXPECT_NE(log.find("TLS: cannot read the CA file /etc/ca.pem"), std::string::npos) << log;
            EXPECT_EQ(broker.connections.load(), 0) << log;
            break;
        }
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(runs[i].daemon.stop(SIGTERM, 10s)) << runs[i].daemon.log();
        EXPECT_LT(th::seconds_since(t0), 3.0) << runs[i].daemon.log();
    }
}
