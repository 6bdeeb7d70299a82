// SPDX-License-Identifier: BSD-2-Clause
// The AT^SGPSC, AT+QGPSCFG and AT+GTGPSPOWER families end to end: the daemon against the simulated module.
#include "e2e/fault_rig.h"
#include "support/at_sequence.h"

namespace {

using namespace fault_rig;
using fault_rig::on;
using Commands = std::vector<std::string>;

// A start costs a 5 s settle delay (and a PLS8 5 s more), a failed one 11 s
// before the next: waits are generous, never fixed sleeps.
constexpr auto kStartWait = 45s;

// One simulated router: the module family's simulator and the daemon.
struct Router : Rig {
    Router(const std::string& family, const std::vector<std::string>& opts, const std::string& script = "")
    {
        std::vector<std::string> extra;
        for (const auto& o : opts) {
            extra.push_back("--opt");
            extra.push_back(o);
        }
        if (!script.empty()) {
            th::write_file(path("/script"), script);
            extra.push_back("--script");
            extra.push_back(path("/script"));
        }
        th::start_router_sim(sim, root, family, extra);
    }

    // Commands the module received, as "PORT TEXT" without the final "\r".
    Commands commands() const { return th::sim_commands(root); }
    bool wait_commands(std::size_t n, std::chrono::milliseconds timeout = kStartWait) const
    {
        return th::wait_until([&] { return commands().size() >= n; }, timeout);
    }
    bool wait_output() const
    {
        return th::wait_until([&] { return out("ttyS0").find("$GPRMC") != std::string::npos; }, 10s);
    }
    // Ports of the module that the daemon holds open (by their router names).
    std::vector<std::string> open_module_ports() const
    {
        std::vector<std::string> held;
        for (const char* tty : {"ttyUSB7", "ttyUSB8", "ttyUSB9"}) {
            std::error_code ec;
            auto pts = std::filesystem::read_symlink(path("/dev/") + tty, ec);
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
    // The module's lock files that exist.
    Args locks() const
    {
        return present({"/run/lock/LCK..ttyUSB7", "/run/lock/LCK..ttyUSB8", "/run/lock/LCK..ttyUSB9"});
    }
    std::string pid_text() const { return th::pid_text(daemon.pid); }
};

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

// A start that streams: the commands the module received on its control
// port up to the stream, the data port streaming to the output and alone
// open and locked; SIGTERM sends the family's stop sequence and gives
// everything back.
struct StartCase {
    const char* legend;
    const char* family;
    const char* opts;  // the simulator's options, between spaces
    const char* control;
    const char* data_tty;
    Commands start;
    std::string logged_once;  // lines of the log
};

void starts_streams_and_stops(const StartCase& c)
{
    Router r(c.family, words(c.opts));
    r.start_daemon();
    ASSERT_TRUE(r.wait_commands(c.start.size(), 60s)) << r.log();
    EXPECT_TRUE(r.wait_output()) << r.log();
    EXPECT_EQ(r.commands(), on(c.control, c.start));
    for (std::string line : th::lines_of(c.logged_once)) {
        line.erase(line.find_last_not_of('\n') + 1);
        EXPECT_EQ(th::count_of(r.log(), line), 1) << line;
    }
    EXPECT_EQ(th::read_file(r.lock(c.data_tty)), r.pid_text());
    EXPECT_EQ(r.locks(), Args{"/run/lock/LCK.." + std::string(c.data_tty)});
    EXPECT_EQ(r.open_module_ports(), std::vector<std::string>{c.data_tty});
    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_EQ(tail(r.commands(), c.start.size()), on(c.control, c.family, {"stop"}));
    EXPECT_EQ(r.locks(), Args{});
}

// A module whose settings differ in one value (reported quoted, BeiDou under
// the other firmware's name) is set and restarted once, then started on the
// next attempt.
Commands qgps_set_restart_start()
{
    const Commands q = th::at_sequence("qgps", "queries");
    return join({{"ATE0", q[0], q[1], q[2], "AT+QGPSCFG=\"gpsnmeatype\",31"},
                 Commands(q.begin() + 3, q.end()),
                 {"AT+CFUN=1,1"},
                 th::at_sequence("qgps", "start")});
}

// Each identity variant of AT^SGPSC gets its own commands and streams on its
// own data port (SIGTERM stops engine, output and antenna in that order);
// AT+GTGPSPOWER streams on the reversed data port.
const StartCase kStartCases[] = {
    {"SgpscIdentityVariantsStartStreamAndStop PLS83", "sgpsc", "identity=PLS83-W", "/dev/ttyUSB8", "ttyUSB9",
     th::at_sequence("sgpsc", "start PLS83 antenna off"), ""},
    {"SgpscIdentityVariantsStartStreamAndStop PLS8", "sgpsc", "identity=PLS8-E antenna=on", "/dev/ttyUSB8", "ttyUSB7",
     th::at_sequence("sgpsc", "start PLS8 antenna on"), ""},
    {"SgpscIdentityVariantsStartStreamAndStop neither", "sgpsc", "identity=ALS3-E", "/dev/ttyUSB8", "ttyUSB7",
     th::at_sequence("sgpsc", "start other antenna off"), ""},
    {"QgpsSetsRestartsThenStarts", "qgps", "gpsnmeatype=1 beidou_name=pqnmeatype restart_ms=1000", "/dev/ttyUSB8",
     "ttyUSB7", qgps_set_restart_start(), "gps: info: set \"gpsnmeatype\" = \"31\"\ngps: err: initialization failed"},
    {"GtgpsStartsStreamsAndStops", "gtgps", "", "/dev/ttyUSB7", "ttyUSB9", th::at_sequence("gtgps", "start"), ""},
};

// Failed starts of every family: what the module received, what was logged,
// and that the daemon holds no port and no lock afterwards.
struct FailedCase {
    const char* legend;
    const char* family;
    std::string script;
    bool lock_control;  // another live process holds ttyUSB8
    Commands sent;
    std::string logged;  // lines of the log, in this order
};

const FailedCase kFailedCases[] = {
    {"sgpsc control port locked by another process", "sgpsc", "", true, Commands(),
     "gps: err: device(/dev/ttyUSB8) is locked"},
    {"sgpsc engine refused", "sgpsc", "AT^SGPSC=\"Engine\",\"1\" => text:\\r\\n+CME ERROR: 3\\r\\n\n", false,
     on("/dev/ttyUSB8", "sgpsc", {"start PLS83 antenna off"}),
     "gps: err: cannot enable Engine (\"\\r\\n+CME ERROR: 3\\r\\n\")"},
    {"qgps error reply to a query", "qgps", "AT+QGPSCFG=\"nmeasrc\" => text:\\r\\n+CME ERROR: 3\\r\\n\n", false,
     on("/dev/ttyUSB8", Commands{"ATE0", "AT+QGPSCFG=\"outport\"", "AT+QGPSCFG=\"nmeasrc\""}),
     "gps: err: cannot read current value of \"nmeasrc\""},
    {"qgps engine refused", "qgps", "AT+QGPS=1 => refuse\n", false, on("/dev/ttyUSB8", "qgps", {"start", "stop"}),
     "gps: err: cannot enable Engine (\"\\r\\nERROR\\r\\n\")"},
    {"gtgps echo off refused", "gtgps", "ATE0 => refuse\n", false, on("/dev/ttyUSB7", "gtgps", {"start"}),
     "gps: err: cannot write new value of \"ATE\""},
    {"gtgps power and output refused", "gtgps", "AT+GTGPSPOWER=1 => refuse\nAT+GTSET=\"NMEAEN\",1 => refuse\n", false,
     on("/dev/ttyUSB7", "gtgps", {"start"}),
     "gps: err: cannot write new value of \"AT+GTGPSPOWER\"\n"
     "gps: err: cannot write new value of \"AT+GTSET=\"NMEAEN\"\""},
    {"gtgps output refused", "gtgps", "AT+GTSET=\"NMEAEN\",1 => silent\n", false,
     on("/dev/ttyUSB7", "gtgps", {"start"}), "gps: err: cannot write new value of \"AT+GTSET=\"NMEAEN\"\""},
};

void failed_start_leaves_nothing_held(const FailedCase& c)
{
    Router r(c.family, std::vector<std::string>{}, c.script);
    th::Process holder;
    if (c.lock_control) {
        holder.start({"sleep", "120"}, {}, r.path("/holder.log"));
        th::write_file(r.lock("ttyUSB8"), th::pid_text(holder.pid));
    }
    r.start_daemon();
    // The 10 s pause after the failure is the moment to look: the driver has
    // given everything back and nothing was tried again.
    ASSERT_TRUE(r.daemon.wait_log("gps: err: initialization failed", kStartWait)) << r.log();
    EXPECT_EQ(r.commands(), c.sent);
    const std::string log = r.log();
    std::size_t at = 0;
    for (std::string line : th::lines_of(c.logged)) {
        line.erase(line.find_last_not_of('\n') + 1);
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << log;
    }
    EXPECT_TRUE(r.open_module_ports().empty());
    if (c.lock_control) {
        EXPECT_EQ(th::read_file(r.lock("ttyUSB8")), th::pid_text(holder.pid));
    }
    EXPECT_EQ(r.locks(), c.lock_control ? Args{"/run/lock/LCK..ttyUSB8"} : Args{});
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
    for (const StartCase& c : kStartCases)
        scenarios.push_back({c.legend, [&c] { starts_streams_and_stops(c); }});
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
