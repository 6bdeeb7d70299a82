// SPDX-License-Identifier: BSD-2-Clause
// The control socket, SNMP traps and time synchronisation of the real daemon,
// driven by the simulator.
#include "e2e/fault_rig.h"

namespace {

using namespace fault_rig;
using th::read_reply;

// The simulator replays the capture's sentences in a loop, one receiver
// cycle per second, with the settings; the daemon runs on it.
void start(Rig& r, const Args& settings, const Args& capture, const Args& daemon_args = {})
{
    std::string text;
    for (const auto& body : capture)
        text += th::with_checksum(body);
    r.start_sim(join({r.capture(text),
                      {"--loop"},
                      settings_args(join({{"MOD_GPS_ENABLED=1", "MOD_GPS_DATE_FIX_ENABLED=0"}, settings}))}));
    // The RTC stand-in is a file the daemon opens but never creates.
    th::write_file(r.path("/dev/rtc"), "");
    r.start_daemon({}, daemon_args);
    ASSERT_TRUE(r.wait_running()) << r.log();
}

// The stand-in snmptrap's log: one record per call, arguments escaped one
// per line, closed by a "\end <time>" line.
std::vector<std::vector<std::string>> traps(const Rig& r)
{
    std::vector<std::vector<std::string>> out;
    std::vector<std::string> cur;
    for (std::string line : th::lines_of(r.file("/sim/snmptrap.log"))) {
        if (line.back() != '\n')
            break;  // still being written
        line.pop_back();
        if (line.rfind("\\end ", 0) == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(line);
        }
    }
    return out;
}

std::size_t wait_traps(const Rig& r, std::size_t n)
{
    th::wait_until([&] { return traps(r).size() >= n; }, 15s);
    return traps(r).size();
}

int connect_shell(const Rig& r)
{
    return th::connect_unix(r.path("/run/gps.socket"));
}

const std::vector<std::string> kPlainCycle = {
    "GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230336,003.1,W",
    "GPGGA,123519.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
};

TEST(Control, TrapsCarryPlainArgumentsAndTheClocksFollowGnssTime)
{
    Rig r;
    const std::string ipaddr = "10.0.0.1;>" + r.root + "/pwned1;`>" + r.root + "/pwned2`";
    start(r,
          {"MOD_GPS_SNMP_REPORT_ENABLED=1", "MOD_GPS_SNMP_REPORT_IPADDR=" + ipaddr, "MOD_GPS_SNMP_REPORT_PERIOD=1",
           "MOD_GPS_SNMP_REPORT_PERIOD_HALT=2", "MOD_GPS_TIMESYNC_ENABLED=1", "MOD_GPS_TIMESYNC_PERIOD=60"},
          {"GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230336,003.1,W",
           "GPGGA,`id`;a|b,4807.038,N,01131.000,E,1,08,0.9,a;b|c&d,M,46.9,M,,"});

    // Items of the sentence and the address from the settings reach the
    // trap tool as plain arguments; no shell ever sees them.
    ASSERT_GE(wait_traps(r, 2), 2u) << r.log();
    const std::string o = "1.3.6.1.4.1.99991.7.";
    const Args expected = {"-c",      "tarnis", "-s",        "1001",    "-R", ipaddr,       o + "1.0", "s", "`id`;a|b",
                           o + "2.0", "s",      "4807.038N", o + "3.0", "s",  "01131.000E", o + "4.0", "s", "a;b|c&d",
                           o + "5.0", "i",      "08",        o + "6.0", "s",  "1",          o + "7.0", "s", "022.4",
                           o + "8.0", "s",      "084.4",     o + "9.0", "s",  "230336"};
    EXPECT_EQ(traps(r)[1], expected);
    EXPECT_EQ(r.present({"/pwned1", "/pwned2"}), Args{});
    EXPECT_TRUE(th::has(r.file("/sim/status.log"), "-v sys")) << "product looked up";

    // A failing trap tool is reported and tried again after the next pause.
    th::write_file(r.root + "/sim/snmptrap.exit", "1\n");
    ASSERT_TRUE(r.daemon.wait_log("gps: err: system call failed (256)", 10s));
    const std::size_t failed = traps(r).size();
    EXPECT_GT(wait_traps(r, failed + 1), failed);
    std::remove((r.root + "/sim/snmptrap.exit").c_str());

    // The clocks were set once, from the example's date and time.
    EXPECT_EQ(r.file("/dev/rtc"), "2036-03-23 12:35:19\n");
    EXPECT_EQ(r.file("/dev/clock"), "2089888519\n");
    const std::string stamp = r.file("/run/gps/timesync_last");
    EXPECT_GT(std::atol(stamp.c_str()), 1700000000L) << stamp;
    EXPECT_EQ(th::count_of(r.log(), "gps: notice: time synchronization\n"), 1);

    // A restart within the period does not set them again.
    EXPECT_TRUE(r.stop_daemon()) << r.log();
    const std::size_t before_restart = traps(r).size();
    r.start_daemon();
    ASSERT_TRUE(r.wait_running()) << r.log();
    // Three traps of the new daemon: three cycles with a fix have passed.
    ASSERT_GE(wait_traps(r, before_restart + 3), before_restart + 3);
    EXPECT_EQ(r.file("/dev/clock"), "2089888519\n");
    EXPECT_EQ(r.file("/run/gps/timesync_last"), stamp);
    EXPECT_EQ(th::count_of(r.log(), "time synchronization"), 0);
}

TEST(Control, ShellRequestsWithoutTraps)
{
    Rig r;
    // Stray files where the control socket and "/dev/nmea" go are replaced.
    th::make_root_dirs(r.root);
    th::write_file(r.root + "/run/gps.socket", "stray");
    th::write_file(r.root + "/dev/nmea", "stray");
    // In the foreground, as an operator debugging on the router runs it.
    start(r,
          {"MOD_GPS_SNMP_REPORT_ENABLED=0", "MOD_GPS_SNMP_REPORT_IPADDR=10.0.0.1", "MOD_GPS_SNMP_REPORT_PERIOD=1",
           "MOD_GPS_TIMESYNC_ENABLED=1", "MOD_GPS_TIMESYNC_PERIOD=59"},
          kPlainCycle, {"--foreground"});
    ASSERT_TRUE(th::wait_until([&] { return r.ask("snmp 9\n") == "230336"; }, 15s)) << r.log();

    // The status report: sent without a line end (printf status), it is
    // still "status"; it names the version, the streams and the position.
    const std::string json = r.ask("status");
    EXPECT_EQ(json.rfind("{\"version\":\"1.0.0\",\"uptime\":", 0), 0u) << json;
    EXPECT_TRUE(th::has(json, "{\"name\":\"RSOCK4\",\"enabled\":false,"));
    EXPECT_TRUE(th::has(json, ",\"bursts_skipped\":0,\"bursts_lost\":0}"));
    EXPECT_TRUE(
        th::has(json, ",\"position\":{\"time\":\"123519.00\",\"lat\":48.117300,\"lon\":11.516667,\"fix\":\"1\"}}\n"));
    // The operator's tool asks the same and says it for a person, or
    // passes the report on as it came.
    const th::ToolRun summary_run = th::run_tool(r.root, {"status"});
    const std::string& summary = summary_run.log;
    EXPECT_EQ(summary_run.exit(), 0);
    EXPECT_EQ(summary.rfind("gnssd 1.0.0, up ", 0), 0u) << summary;
    EXPECT_TRUE(th::has(summary, "\nreceiver: $GPS_START on /dev/ttyUSB"));
    EXPECT_TRUE(th::has(summary, "\nposition: 48.117300 11.516667 at 123519.00 UTC, fix 1, "));
    EXPECT_TRUE(th::has(summary, "\nRSOCK1: off\nRSOCK2: off\nRSOCK3: off\nRSOCK4: off\ngpsd: off\nmqtt: off\n"));
    const th::ToolRun json_run = th::run_tool(r.root, {"status", "--json"});
    const std::string& raw = json_run.log;
    EXPECT_EQ(json_run.exit(), 0);
    EXPECT_EQ(raw.rfind("{\"version\":\"1.0.0\",", 0), 0u) << raw;
    EXPECT_EQ(raw.find('\n'), raw.size() - 1) << "one line";
    EXPECT_TRUE(std::filesystem::is_symlink(r.root + "/dev/nmea")) << r.log();

    const std::string long_word(1499, 'w');
    struct Case {
        const char* legend;
        std::string request;
        std::string reply;
    } cases[] = {
        {"slot 3", "snmp 3\n", "01131.000E"},
        {"slot 1", "snmp 1\n", "123519.00"},
        {"slot 6, the fix quality", "snmp 6\n", "1"},
        {"without the newline the request is whole", "snmp 3", "01131.000E"},
        {"no argument", "snmp\n", "N/A"},
        {"slot 0", "snmp 0\n", "N/A"},
        {"slot 10", "snmp 10\n", "N/A"},
        {"not a number", "snmp x\n", "N/A"},
        {"prefix of the command word", "snmpx 9\n", "N/A"},
        {"unknown command", "help\n", "shell: help: command not found\n"},
        {"lone newline", "\n", ""},
        {"closed without writing", "", ""},
        {"1500-byte request", long_word + "\n", "shell: " + long_word + ": command not found\n"},
        {"slot 9 after all that", "snmp 9\n", "230336"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(r.ask(c.request), c.reply) << c.legend;
    EXPECT_TRUE(r.daemon.wait_log("gps: err: snmp_get - cannot get data ID (x)\n", 5s));
    EXPECT_TRUE(r.daemon.wait_log("gps: err: snmp_get - cannot get data ID ()\n", 5s));

    // Two clients racing: the silent first one is closed, the second served.
    int first = connect_shell(r);
    int second = connect_shell(r);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(read_reply(first), "");
    ASSERT_EQ(write(second, "snmp 4\n", 7), 7);
    EXPECT_EQ(read_reply(second), "545.4");
    close(first);
    close(second);

    // Clients that leave before their answer cost the daemon nothing (the
    // reply must not raise SIGPIPE).
    for (int i = 0; i < 20; ++i) {
        int fd = connect_shell(r);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, i % 2 ? "snmp 3\n" : "nope\n", i % 2 ? 7 : 5), i % 2 ? 7 : 5);
        close(fd);
    }
    EXPECT_EQ(r.ask("snmp 3\n"), "01131.000E");
    EXPECT_TRUE(r.daemon.running());

    // A hundred clients one after another leave no descriptor behind.
    const int fds = r.daemon.fd_count();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(r.ask("snmp 5\n"), "08") << "client " << i;
    EXPECT_TRUE(th::wait_until([&] { return r.daemon.fd_count() == fds; }, 5s))
        << r.daemon.fd_count() << " descriptors, " << fds << " before";

    // Traps off: the product is never looked up; period 59: no clock is set.
    EXPECT_EQ(r.present({"/sim/status.log", "/sim/snmptrap.log", "/dev/clock", "/run/gps/timesync_last"}), Args{});
    EXPECT_EQ(r.file("/dev/rtc"), "");

    EXPECT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_FALSE(th::file_exists(r.root + "/run/gps.socket")) << "socket file removed at shutdown";
    const th::ToolRun gone_run = th::run_tool(r.root, {"status"});
    const std::string& gone = gone_run.log;
    EXPECT_EQ(gone_run.exit(), 1);
    EXPECT_TRUE(th::has(gone, "gnssd is not running"));
}

TEST(Control, ZarProductSendsNoTrapsAndOnlyAPlainFixSetsTheClock)
{
    Rig r;
    std::filesystem::create_directories(r.path("/sim"));
    th::write_file(r.root + "/sim/product", "ZAR-3200\n");
    // Three cycles with a differential fix, then three with a GNS position;
    // each cycle's RMC comes first, so the GNS finds the new date stored.
    std::vector<std::string> capture;
    for (int i = 0; i < 3; ++i) {
        capture.push_back("GPRMC,000001.00,A,4807.038,N,01131.000,E,000.0,084.4,010203,003.1,W");
        capture.push_back("GPGGA,000001.00,4807.038,N,01131.000,E,2,08,0.9,545.4,M,46.9,M,,");
    }
    for (int i = 0; i < 3; ++i) {
        capture.push_back("GPRMC,123519.00,A,4807.038,N,01131.000,E,000.0,084.4,230336,003.1,W");
        capture.push_back("GPGNS,123519.00,4807.038,N,01131.000,E,AA,09,0.9,545.4,46.9,,");
    }
    start(r,
          {"MOD_GPS_SNMP_REPORT_ENABLED=1", "MOD_GPS_SNMP_REPORT_IPADDR=10.0.0.1", "MOD_GPS_SNMP_REPORT_PERIOD=1",
           "MOD_GPS_SNMP_REPORT_PERIOD_HALT=1", "MOD_GPS_TIMESYNC_ENABLED=1", "MOD_GPS_TIMESYNC_PERIOD=60"},
          capture);

    // The sync comes with the first GNS, seconds after the first position:
    // long enough for a trap worker with a one-second pause to have sent.
    ASSERT_TRUE(r.daemon.wait_log("gps: notice: time synchronization", 20s)) << r.log();
    EXPECT_EQ(r.file("/dev/clock"), "2089888519\n");
    EXPECT_EQ(r.file("/dev/rtc"), "2036-03-23 12:35:19\n");
    EXPECT_TRUE(th::has(r.file("/sim/status.log"), "-v sys"));
    EXPECT_FALSE(th::file_exists(r.root + "/sim/snmptrap.log"));
    // Without a worker the values stay fresh: "snmp" always answers.
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(r.ask("snmp 5\n"), "N/A");
}

}  // namespace
