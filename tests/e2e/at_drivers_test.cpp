// SPDX-License-Identifier: BSD-2-Clause
// The AT^SGPSC, AT+QGPSCFG and AT+GTGPSPOWER families end to end: the daemon against the simulated module.
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/at_sequence.h"
#include "support/e2e.h"
#include "support/harness.h"

namespace {

using namespace std::chrono_literals;
using Commands = std::vector<std::string>;

// A start costs a 5 s settle delay (and a PLS8 5 s more), a failed one 11 s
// before the next: waits are generous, never fixed sleeps.
constexpr auto kStartWait = 45s;

// One simulated router: the module family's simulator and the daemon, each
// in its own root.
struct Router {
    th::TempDir dir;
    th::Process sim;
    th::Process daemon;

    Router(const std::string& family, const std::vector<std::string>& opts, const std::string& script = "")
    {
        std::vector<std::string> extra;
        for (const auto& o : opts) {
            extra.push_back("--opt");
            extra.push_back(o);
        }
        if (!script.empty()) {
            th::write_file(dir.path + "/script", script);
            extra.push_back("--script");
            extra.push_back(dir.path + "/script");
        }
        th::start_router_sim(sim, dir.path, family, extra);
    }

    void start_daemon() { daemon.start({th::daemon_bin()}, {{"GNSSD_ROOT", dir.path}}, dir.path + "/gnssd.log"); }

    // Commands the module received, as "PORT TEXT" without the final "\r".
    Commands commands() const { return th::sim_commands(dir.path); }
    bool wait_commands(std::size_t n, std::chrono::milliseconds timeout = kStartWait) const
    {
        return th::wait_until([&] { return commands().size() >= n; }, timeout);
    }
    bool wait_output() const
    {
        return th::wait_until(
            [&] { return th::read_file(dir.path + "/sim/out-ttyS0").find("$GPRMC") != std::string::npos; }, 10s);
    }
    std::string lock(const std::string& tty) const { return dir.path + "/run/lock/LCK.." + tty; }
    // Ports of the module that the daemon holds open (by their router names).
    std::vector<std::string> open_module_ports() const
    {
        std::vector<std::string> held;
        for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB9"}) {
            std::error_code ec;
            auto pts = std::filesystem::read_symlink(dir.path + "/dev/" + tty, ec);
            if (ec)
                continue;
            for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon.pid) + "/fd", ec)) {
                std::error_code ec2;
                if (std::filesystem::read_symlink(e.path(), ec2) == pts)
                    held.push_back(tty);
            }
        }
        return held;
    }
    // Nothing of the module stays open or locked.
    void expect_nothing_held() const
    {
        EXPECT_TRUE(open_module_ports().empty());
        for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB9"})
            EXPECT_FALSE(th::file_exists(lock(tty))) << tty;
    }
    std::string pid_text() const { return th::pid_text(daemon.pid); }
};

Commands on(const std::string& port, const Commands& texts)
{
    Commands out;
    for (const auto& t : texts)
        out.push_back(port + " " + t);
    return out;
}

Commands tail(const Commands& all, std::size_t from)
{
    return from < all.size() ? Commands(all.begin() + static_cast<long>(from), all.end()) : Commands{};
}

// The golden sequences named, one after the other, as the module received
// them on port.
Commands on(const std::string& port, const std::string& family, std::initializer_list<const char*> names)
{
    Commands all;
    for (const char* name : names)
        for (const std::string& t : th::at_sequence(family, name))
            all.push_back(port + " " + t);
    return all;
}

// Each identity variant gets its own commands and streams on its own data
// port to the output; SIGTERM stops engine, output and antenna in that order.
struct SgpscCase {
    const char* legend;
    std::vector<std::string> opts;
    const char* start;  // its sequence in at-sgpsc.txt
    const char* data_tty;
};

void sgpsc_starts_streams_and_stops(const SgpscCase& c)
{
    Router r("sgpsc", c.opts);
    r.start_daemon();
    const Commands start = th::at_sequence("sgpsc", c.start);
    ASSERT_TRUE(r.wait_commands(start.size())) << r.daemon.log();
    EXPECT_TRUE(r.wait_output()) << r.daemon.log();
    EXPECT_EQ(r.commands(), on("/dev/ttyUSB8", start));
    EXPECT_EQ(th::read_file(r.lock(c.data_tty)), r.pid_text());
    EXPECT_FALSE(th::file_exists(r.lock("ttyUSB8")));
    EXPECT_EQ(r.open_module_ports(), std::vector<std::string>{c.data_tty});
    kill(r.daemon.pid, SIGTERM);
    ASSERT_TRUE(r.daemon.wait_exit(20s));
    EXPECT_EQ(tail(r.commands(), start.size()), on("/dev/ttyUSB8", "sgpsc", {"stop"}));
    EXPECT_NE(r.daemon.log().find("gps: notice: stopped"), std::string::npos);
    for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB9"})
        EXPECT_FALSE(th::file_exists(r.lock(tty))) << tty;
}

const SgpscCase kSgpscCases[] = {
    {"SgpscIdentityVariantsStartStreamAndStop PLS83", {"identity=PLS83-W"}, "start PLS83 antenna off", "ttyUSB9"},
    {"SgpscIdentityVariantsStartStreamAndStop PLS8",
     {"identity=PLS8-E", "antenna=on"},
     "start PLS8 antenna on",
     "ttyUSB7"},
    {"SgpscIdentityVariantsStartStreamAndStop neither", {"identity=ALS3-E"}, "start other antenna off", "ttyUSB7"},
};

// A module whose settings differ in one value (reported quoted, BeiDou under
// the other firmware's name) is set and restarted once, then started on the
// next attempt; SIGTERM ends the engine.
void qgps_sets_restarts_then_starts()
{
    Router r("qgps", {"gpsnmeatype=1", "beidou_name=pqnmeatype", "restart_ms=1000"});
    r.start_daemon();
    const Commands queries = th::at_sequence("qgps", "queries");
    Commands first = {"ATE0", queries[0], queries[1], queries[2], "AT+QGPSCFG=\"gpsnmeatype\",31"};
    first.insert(first.end(), queries.begin() + 3, queries.end());
    first.push_back("AT+CFUN=1,1");
    const Commands second = th::at_sequence("qgps", "start");
    Commands all = first;
    all.insert(all.end(), second.begin(), second.end());

    ASSERT_TRUE(r.wait_commands(all.size(), 60s)) << r.daemon.log();
    EXPECT_TRUE(r.wait_output()) << r.daemon.log();
    EXPECT_EQ(r.commands(), on("/dev/ttyUSB8", all));
    const std::string log = r.daemon.log();
    EXPECT_EQ(th::count_of(log, "gps: info: set \"gpsnmeatype\" = \"31\""), 1);
    EXPECT_EQ(th::count_of(log, "gps: err: initialization failed"), 1);
    EXPECT_EQ(th::read_file(r.lock("ttyUSB7")), r.pid_text());
    EXPECT_EQ(r.open_module_ports(), std::vector<std::string>{"ttyUSB7"});

    ASSERT_TRUE(r.daemon.stop(SIGTERM, 20s));
    EXPECT_EQ(tail(r.commands(), all.size()), on("/dev/ttyUSB8", "qgps", {"stop"}));
    for (const char* tty : {"ttyUSB7", "ttyUSB8"})
        EXPECT_FALSE(th::file_exists(r.lock(tty))) << tty;
}

// Power and output on, NMEA on the reversed data port, power off at SIGTERM.
void gtgps_starts_streams_and_stops()
{
    Router r("gtgps", {});
    r.start_daemon();
    const Commands start = th::at_sequence("gtgps", "start");
    ASSERT_TRUE(r.wait_commands(start.size())) << r.daemon.log();
    EXPECT_TRUE(r.wait_output()) << r.daemon.log();
    EXPECT_EQ(r.commands(), on("/dev/ttyUSB7", start));
    EXPECT_EQ(th::read_file(r.lock("ttyUSB9")), r.pid_text());
    EXPECT_EQ(r.open_module_ports(), std::vector<std::string>{"ttyUSB9"});
    ASSERT_TRUE(r.daemon.stop(SIGTERM, 20s));
    EXPECT_EQ(tail(r.commands(), start.size()), on("/dev/ttyUSB7", "gtgps", {"stop"}));
    EXPECT_FALSE(th::file_exists(r.lock("ttyUSB9")));
    EXPECT_FALSE(th::file_exists(r.lock("ttyUSB7")));
}

// Failed starts of every family: what the module received, what was logged,
// and that the daemon holds no port and no lock afterwards.
struct FailedCase {
    const char* legend;
    const char* family;
    std::string script;
    bool lock_control;  // another live process holds ttyUSB8
    Commands sent;
    std::vector<std::string> logged;
};

const FailedCase kFailedCases[] = {
    {"sgpsc control port locked by another process", "sgpsc", "", true, {}, {"gps: err: device(/dev/ttyUSB8) is locked"}},
    {"sgpsc engine refused",
     "sgpsc",
     "AT^SGPSC=\"Engine\",\"1\" => text:\\r\\n+CME ERROR: 3\\r\\n\n",
     false,
     on("/dev/ttyUSB8", "sgpsc", {"start PLS83 antenna off"}),
     {"gps: err: cannot enable Engine (\"\\r\\n+CME ERROR: 3\\r\\n\")"}},
    {"qgps error reply to a query",
     "qgps",
     "AT+QGPSCFG=\"nmeasrc\" => text:\\r\\n+CME ERROR: 3\\r\\n\n",
     false,
     on("/dev/ttyUSB8", {"ATE0", "AT+QGPSCFG=\"outport\"", "AT+QGPSCFG=\"nmeasrc\""}),
     {"gps: err: cannot read current value of \"nmeasrc\""}},
    {"qgps engine refused",
     "qgps",
     "AT+QGPS=1 => refuse\n",
     false,
     on("/dev/ttyUSB8", "qgps", {"start", "stop"}),
     {"gps: err: cannot enable Engine (\"\\r\\nERROR\\r\\n\")"}},
    {"gtgps echo off refused",
     "gtgps",
     "ATE0 => refuse\n",
     false,
     on("/dev/ttyUSB7", "gtgps", {"start"}),
     {"gps: err: cannot write new value of \"ATE\""}},
    {"gtgps power and output refused",
     "gtgps",
     "AT+GTGPSPOWER=1 => refuse\nAT+GTSET=\"NMEAEN\",1 => refuse\n",
     false,
     on("/dev/ttyUSB7", "gtgps", {"start"}),
     {"gps: err: cannot write new value of \"AT+GTGPSPOWER\"",
      "gps: err: cannot write new value of \"AT+GTSET=\"NMEAEN\"\""}},
    {"gtgps output refused",
     "gtgps",
     "AT+GTSET=\"NMEAEN\",1 => silent\n",
     false,
     on("/dev/ttyUSB7", "gtgps", {"start"}),
     {"gps: err: cannot write new value of \"AT+GTSET=\"NMEAEN\"\""}},
};

void failed_start_leaves_nothing_held(const FailedCase& c)
{
    Router r(c.family, std::vector<std::string>{}, c.script);
    th::Process holder;
    std::string holder_text;
    if (c.lock_control) {
        holder.start({"sleep", "120"}, {}, r.dir.path + "/holder.log");
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder.pid));
        holder_text = text;
        th::write_file(r.lock("ttyUSB8"), holder_text);
    }
    r.start_daemon();
    // The 10 s pause after the failure is the moment to look: the driver has
    // given everything back and nothing was tried again.
    ASSERT_TRUE(r.daemon.wait_log("gps: err: initialization failed", kStartWait)) << r.daemon.log();
    EXPECT_EQ(r.commands(), c.sent);
    const std::string log = r.daemon.log();
    std::size_t at = 0;
    for (const auto& line : c.logged) {
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << log;
    }
    EXPECT_TRUE(r.open_module_ports().empty());
    if (c.lock_control) {
        EXPECT_EQ(th::read_file(r.lock("ttyUSB8")), holder_text);
        EXPECT_FALSE(th::file_exists(r.lock("ttyUSB7")));
        EXPECT_FALSE(th::file_exists(r.lock("ttyUSB9")));
    } else {
        r.expect_nothing_held();
    }
    EXPECT_TRUE(r.daemon.stop(SIGTERM, 20s));
    holder.stop(SIGKILL, 2s);
}

// --- the scenarios, side by side ----------------------------------------------

// Each scenario has a router of its own and spends its time waiting on the
// module's settle delay and the pauses between attempts: they run together,
// not one after another.
TEST(AtDrivers, StartStreamAndStopScenarios)
{
    std::vector<th::Scenario> scenarios;
    for (const SgpscCase& c : kSgpscCases)
        scenarios.push_back({c.legend, [&c] { sgpsc_starts_streams_and_stops(c); }});
    scenarios.push_back({"QgpsSetsRestartsThenStarts", qgps_sets_restarts_then_starts});
    scenarios.push_back({"GtgpsStartsStreamsAndStops", gtgps_starts_streams_and_stops});
    th::run_side_by_side(scenarios);
}

TEST(AtDrivers, FailedStartsLeaveNoPortOpenOrLocked)
{
    std::vector<th::Scenario> scenarios;
    for (const FailedCase& c : kFailedCases)
        scenarios.push_back({c.legend, [&c] { failed_start_leaves_nothing_held(c); }});
    th::run_side_by_side(scenarios);
}

}  // namespace
