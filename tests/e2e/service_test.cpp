// SPDX-License-Identifier: BSD-2-Clause
// The service end to end: the real executable against the simulated $GPS_START module.
#include <sys/inotify.h>

#include "e2e/fault_rig.h"

namespace {

using namespace fault_rig;

// The router's start-up scripts run the service as a plain child, so its
// setsid() succeeds and it leads a session of its own. A wrapper shell puts
// it in that position here (the harness makes its children process group
// leaders, where setsid() fails). Returns the service's pid.
pid_t start_daemon_as_session_leader(Rig& rig)
{
    const std::string pidfile = rig.path("/gnssd.pid");
    rig.start_daemon({"/bin/sh", "-c", "pidfile=$1; shift; \"$@\" & echo $! > \"$pidfile\"; wait $!", "sh", pidfile});
    pid_t pid = 0;
    th::wait_until([&] { return (pid = std::atoi(th::read_file(pidfile).c_str())) > 0; }, 10s);
    return pid;
}

// The texts the module received on port, in order.
Args texts_on(const Rig& rig, const std::string& port)
{
    Args out;
    for (const std::string& c : th::sim_commands(rig.root))
        if (c.compare(0, port.size() + 1, port + " ") == 0)
            out.push_back(c.substr(port.size() + 1));
    return out;
}

// "$...*hh\r\n" with the right checksum.
bool sentence_ok(const std::string& line)
{
    return !line.empty() && line == th::with_checksum(line.substr(1, line.find('*') - 1));
}

// Item k of a sentence (item 0 is the tag).
std::string item(const std::string& line, int k)
{
    std::istringstream in(line.substr(0, line.find('*')));
    std::string value;
    for (int i = 0; i <= k; ++i)
        if (!std::getline(in, value, ','))
            return "";
    return value;
}

TEST(Service, CaptureReachesSerialOutputAndPseudoTerminalByteForByte)
{
    Rig rig;
    // Two captures that speak GN only, a cold start and the last cycles of a
    // receiver with a DGPS fix, whose RMC carries the identification
    // sentence; then a GP-only one, and one that sends GP and GN positions
    // in each cycle: from its first "$GPRMC" only that talker's RMC carries
    // it, and no GN sentence is dropped as a repeated position.
    const std::string gn_fix = th::read_file(th::data_path("gpsd-ublox-neo-m9n-nmea.nmea"));
    std::size_t last_cycles = gn_fix.size();
    for (int i = 0; i < 5; ++i)
        last_cycles = gn_fix.rfind("$GNRMC,", last_cycles - 1);
    ASSERT_NE(last_cycles, std::string::npos);
    const std::string capture = th::read_file(th::data_path("pynmeagps-pygpsdata-nmeastartup.nmea")) +
                                gn_fix.substr(last_cycles) +
                                th::read_file(th::data_path("gpsd-gp-320fw-2019-04-06-overflow.nmea")) +
                                th::read_file(th::data_path("gpsd-telit-pls83-w.nmea"));
    ASSERT_GT(capture.size(), 8000u);
    // A router id longer than the sentence can carry is cut to 1014 characters.
    const std::string router_id(1100, 'R');
    const std::string fid = "$GPFID," + router_id.substr(0, 1014) + "\r\n";
    const std::string want = expected_stream(capture, fid);

    rig.start_sim(join({{"--outputs", "--rate", "10"},
                        rig.capture(capture),
                        settings_args({"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1", "MOD_GPS_SRI_ENABLED=1",
                                       "MOD_GPS_ROUTER_ID_STRING=" + router_id})}));
    // A FIFO planted at the status file's temporary path must not hang the
    // service, and init's umask 000 must not make its files world-writable.
    ASSERT_EQ(mkfifo(rig.path("/run/stats.gps.tmp").c_str(), 0666), 0);
    const mode_t old_mask = umask(0);
    rig.start_daemon();
    umask(old_mask);
    ASSERT_TRUE(rig.wait_running()) << rig.log();
    // The service keeps the slave open, so nothing is lost before this
    // reader comes.
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);

    EXPECT_TRUE(th::wait_until([&] { return rig.out("ttyS0").size() >= want.size(); }, 30s));
    EXPECT_EQ(first_difference(rig.out("ttyS0"), want), "");
    EXPECT_TRUE(th::wait_until([&] { return nmea.text().size() >= want.size(); }, 10s));
    EXPECT_EQ(first_difference(nmea.text(), want), "");
    EXPECT_EQ(th::count_of(want, "$GPFID,"), th::count_of(capture, "$GPRMC") + 6);
    EXPECT_EQ(th::count_of(want, "$GNRMC"), 6);
    EXPECT_EQ(th::count_of(want, "$GNGNS,"), th::count_of(capture, "$GNGNS,"));

    // The status and location files show the last receiver's own GP
    // position, not the GN one sent after it (written just after the
    // sentences that carried it).
    std::string stats;
    th::wait_until(
        [&] { return (stats = th::read_file(rig.path("/run/stats.gps"))).find("04:35:48") != std::string::npos; }, 10s);
    for (const char* line :
         {"Current time (UTC) : 04:35:48.00\n", "Latitude           : 43.553169N\n", "Longitude          : 1.460306E\n",
          "Satellites in use  : 5\n", "Fix status         : 1\n"})
        EXPECT_TRUE(th::has(stats, line)) << line << "in\n" << stats;
    EXPECT_EQ(th::read_file(rig.path("/run/loc.gps")), "4333.190127N\n00127.618382E\n");
    EXPECT_TRUE(th::file_exists(rig.path("/run/lock/LCK..ttyS0")));
    EXPECT_EQ(th::read_file(rig.path("/run/gnssd.pid")), std::to_string(rig.daemon.pid) + "\n");
    for (const char* file : {"/run/stats.gps", "/run/loc.gps", "/run/lock/LCK..ttyS0", "/run/gnssd.pid"}) {
        struct stat st;
        ASSERT_EQ(stat(rig.path(file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << file;
    }

    // A second copy gives up before it touches anything of the first.
    const std::string pty_link = std::filesystem::read_symlink(rig.path("/dev/nmea")).string();
    const th::ToolRun second = th::run_tool(rig.root, {});
    EXPECT_EQ(second.exit(), 1) << second.status;
    EXPECT_EQ(second.log, "gps: err: already running (pid " + std::to_string(rig.daemon.pid) + ")\n");
    EXPECT_EQ(std::filesystem::read_symlink(rig.path("/dev/nmea")).string(), pty_link);
    EXPECT_TRUE(th::file_exists(rig.path("/run/gps.socket")));

    // The shutdown's removals, in the order the kernel saw them.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const char* dir : {"/run", "/run/lock", "/dev"})
        ASSERT_GE(inotify_add_watch(watch, rig.path(dir).c_str(), IN_DELETE), 0) << dir;

    // SIGINT stops it exactly as SIGTERM does.
    ASSERT_TRUE(rig.stop_daemon(SIGINT));

    // Control shell, then the outputs: the serial port and its lock before
    // the pseudo-terminal, then the module, then the status files.
    std::vector<std::string> removed;
    alignas(struct inotify_event) char events[8192];
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(events + at);
            const std::string name = ev->len > 0 ? ev->name : "";
            if (name == "gps.socket" || name == "LCK..ttyS0" || name == "nmea" || name == "LCK..ttyUSB9" ||
                name == "stats.gps")
                removed.push_back(name);
            at += static_cast<ssize_t>(sizeof *ev + ev->len);
        }
    }
    close(watch);
    EXPECT_EQ(removed, (std::vector<std::string>{"gps.socket", "LCK..ttyS0", "nmea", "LCK..ttyUSB9", "stats.gps"}));

    const std::string log = rig.log();
    EXPECT_TRUE(th::has(log, "gps: notice: Pseudo-terminal has been closed\ngps: notice: stopped\n"));
    // Nothing is left that a later start could take for a running service.
    EXPECT_EQ(rig.present({"/run/stats.gps", "/run/loc.gps", "/dev/nmea", "/run/lock/LCK..ttyS0",
                           "/run/lock/LCK..ttyUSB9", "/run/gnssd.pid"}),
              Args{});
    // The module was switched on first and off last, with the bare texts.
    const Args texts = texts_on(rig, "/dev/ttyUSB9");
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front(), "$GPS_START");
    EXPECT_EQ(texts.back(), "$GPS_STOP");
}

// A receiver far ahead of the service (a capture replayed as fast as the
// port takes it): while reads follow each other the status files may trail
// them, but as soon as the receiver pauses they show its last cycle, and the
// serial output got every sentence in order.
TEST(Service, StatusFilesCatchUpWhenAFloodPauses)
{
    Rig rig;
    // A cycle of its own (a GSV first): a second GGA within one cycle is dropped.
    const std::string capture = th::read_file(th::data_path("gpsd-quectel-eg25-g.nmea")) +
                                th::with_checksum("GPGSV,1,1,00") +
                                th::with_checksum("GPGGA,235959,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                                th::with_checksum("GPRMC,235959,A,4807.038,N,01131.000,E,000.0,,311226,,,A");
    ASSERT_TRUE(rig.start(join({{"--outputs", "--fast", "--set", "MOD_GPS_EP1_ENABLED=1"}, rig.capture(capture)})))
        << rig.log();
    // Until the link is given up 2 s into the pause.
    const std::string stats = rig.path("/run/stats.gps");
    EXPECT_TRUE(
        th::wait_until([&] { return th::read_file(stats).find("Current time (UTC) : 23:59:59\n") != std::string::npos; },
                       30s))
        << th::read_file(stats) << rig.log();
    EXPECT_TRUE(th::has(th::read_file(stats), "Date               : 31.12.2026\n"));
    EXPECT_EQ(th::read_file(rig.path("/run/loc.gps")), "4807.038N\n01131.000E\n");
    const std::string out = rig.out("ttyS0");
    EXPECT_EQ(th::count_of(out, "$GPRMC,235959,"), 1);
    // Only the GGA that each cycle's GNS already reported is held back.
    EXPECT_EQ(th::count_of(out, "\r\n"), th::count_of(expected_stream(capture, ""), "\r\n"))
        << "sentences lost in the flood";
    ASSERT_TRUE(rig.stop_daemon());
}

TEST(Service, UnpluggedModuleIsReopenedWhileOutputsStayUntouched)
{
    Rig rig;
    rig.start_sim({"--outputs", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_PTY_ENABLED=1", "--set",
                   "MOD_GPS_DATE_FIX_ENABLED=1"});
    rig.start_daemon();
    auto rmc_count = [&] { return rig.rmc("ttyS0"); };
    ASSERT_TRUE(th::wait_until([&] { return rmc_count() >= 2; }, 40s)) << rig.log();
    const std::string pty_before = std::filesystem::read_symlink(rig.path("/dev/nmea")).string();
    const std::string lock_before = th::read_file(rig.path("/run/lock/LCK..ttyS0"));

    // Junk between sentences is skipped, never passed on.
    rig.ctl("garbage");
    rig.ctl("nul");
    int seen = rmc_count();
    ASSERT_TRUE(th::wait_until([&] { return rmc_count() >= seen + 2; }, 10s));
    EXPECT_EQ(rig.out("ttyS0").find("garbage"), std::string::npos);
    EXPECT_EQ(rig.out("ttyS0").find('\0'), std::string::npos);

    // A date 1024 weeks too early is repaired before it goes out.
    rig.ctl("rollover");
    ASSERT_TRUE(rig.daemon.wait_log("gps: info: calculated correct date ", 10s)) << rig.log();
    EXPECT_TRUE(th::has(rig.log(), "gps: info: week rollover problem detected, invalid date 20"));

    rig.ctl("unplug");
    ASSERT_TRUE(rig.daemon.wait_log("gps: warning: no data from GPS\n", 10s)) << rig.log();
    rig.ctl("plug");
    seen = rmc_count();
    ASSERT_TRUE(th::wait_until([&] { return rmc_count() >= seen + 2; }, 40s)) << rig.log();

    // The link changed; the outputs did not. Each open names the module and
    // its data port; the return of the data is told once.
    const std::string log = rig.log();
    EXPECT_EQ(th::count_of(log, "gps: notice: GPS module $GPS_START (USB 1410:A021) opened, data port /dev/ttyUSB9\n"),
              2)
        << log;
    EXPECT_EQ(th::count_of(log, "gps: notice: data from GPS again\n"), 1) << log;
    EXPECT_LT(log.find("no data from GPS"), log.find("data from GPS again"));
    EXPECT_EQ(th::count_of(log, "Pseudo-terminal has been opened"), 1) << log;
    EXPECT_EQ(th::count_of(log, "running..."), 1);
    // Each start says what it waits for.
    EXPECT_EQ(th::count_of(log, "gps: info: waiting 5 s for the module to settle\n"), 2) << log;
    EXPECT_EQ(std::filesystem::read_symlink(rig.path("/dev/nmea")).string(), pty_before);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), lock_before);
    const Args texts = texts_on(rig, "/dev/ttyUSB9");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "$GPS_START"), 2);

    ASSERT_TRUE(rig.stop_daemon());
    EXPECT_TRUE(th::count_of(rig.log(), "gps: notice: stopped\n") == 1);

    // Everything that went out is a whole sentence with a valid checksum,
    // and no RMC carries a date before 2019.
    for (const std::string& line : lines_of(rig.out("ttyS0"))) {
        SCOPED_TRACE(line);
        ASSERT_TRUE(sentence_ok(line));
        if (line.compare(0, 7, "$GPRMC,") == 0) {
            const std::string date = item(line, 9);
            ASSERT_EQ(date.size(), 6u);
            EXPECT_GE(std::stoi(date.substr(4)), 19);
        }
    }
}

TEST(Service, TermDuringFirstLinkOpenStillBuildsAndTearsDownOutputs)
{
    Rig rig;
    // No module on the USB bus: the first link never opens.
    rig.start_sim({"--usb", "none", "--set", "MOD_GPS_PTY_ENABLED=0"});
    const pid_t pid = start_daemon_as_session_leader(rig);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(rig.daemon.wait_log("gps: err: no GPS module available\n", 20s)) << rig.log();
    // It leads its own session: had opening the pseudo-terminal made it the
    // service's terminal, closing it at shutdown would hang the service up
    // (SIGHUP) before "stopped" and before the exit status 0.
    std::string stat = th::read_file("/proc/" + std::to_string(pid) + "/stat");
    stat = stat.substr(stat.rfind(')') + 2);  // state ppid pgrp session tty_nr ...
    int ppid = 0, pgrp = 0, session = 0, tty = 0;
    char state = 0;
    ASSERT_EQ(std::sscanf(stat.c_str(), "%c %d %d %d %d", &state, &ppid, &pgrp, &session, &tty), 5);
    EXPECT_EQ(session, pid);
    // SIGHUP stops it as SIGTERM does, within the failed open's 10 s pause.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(rig.daemon.wait_exit(30s));
    EXPECT_LT(th::seconds_since(t0), 3.0);
    ASSERT_TRUE(WIFEXITED(rig.daemon.status)) << rig.log();
    EXPECT_EQ(WEXITSTATUS(rig.daemon.status), 0) << rig.log();

    const std::string log = rig.log();
    const std::size_t opened = log.find("gps: notice: Pseudo-terminal has been opened with success.");
    const std::size_t closed = log.find("gps: notice: Pseudo-terminal has been closed\n");
    const std::size_t stopped = log.find("gps: notice: stopped\n");
    ASSERT_NE(opened, std::string::npos) << log;
    ASSERT_NE(closed, std::string::npos) << log;
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_LT(opened, closed);
    EXPECT_LT(closed, stopped);
    EXPECT_EQ(log.find("running..."), std::string::npos) << log;
    EXPECT_EQ(log.find("no data from GPS"), std::string::npos) << log;
    EXPECT_EQ(log.compare(0, 21, "gps: notice: started\n"), 0) << log;
    EXPECT_EQ(rig.present({"/dev/nmea", "/run/stats.gps", "/run/loc.gps", "/run/gps.socket"}), Args{});
}

// The start-stop script judges a service by its lock on the pid file, not by
// an id that a later process may have taken over.
TEST(Service, InitScriptTellsARunningServiceByItsLock)
{
#ifdef GNSSD_TEST_EMULATOR_DEFAULT
    GTEST_SKIP() << "the script starts the daemon without the emulator";
#endif
    Rig rig;
    rig.start_sim({"--usb", "none"});
    const std::string pidfile = rig.path("/run/gnssd.pid");
    int call = 0;
    // Runs "gnssd.init WORD"; its exit status, its output in *out.
    auto script = [&](const std::string& word, std::string* out = nullptr) {
        th::Process sh;
        sh.start({"/bin/sh", th::data_path("../../packaging/gnssd.init"), word},
                 {{"GNSSD_ROOT", rig.root}, {"DAEMON", th::daemon_bin()}, {"PIDFILE", pidfile}, {"STOP_WAIT", "30"}},
                 rig.path("/init." + std::to_string(++call)));
        EXPECT_TRUE(sh.wait_exit(40s)) << word;
        if (out)
            *out = sh.log();
        return WIFEXITED(sh.status) ? WEXITSTATUS(sh.status) : -1;
    };
    // Left by a service that was killed: the id now names a live process.
    th::write_file(pidfile, std::to_string(getpid()) + "\n");
    std::string out;
    EXPECT_EQ(script("status", &out), 3) << out;
    EXPECT_EQ(out, "gnssd stopped\n");

    EXPECT_EQ(script("start", &out), 0) << out;
    ASSERT_TRUE(th::wait_until([&] { return script("status") == 0; }, 20s));
    const pid_t pid = std::atoi(th::read_file(pidfile).c_str());
    ASSERT_GT(pid, 0);
    EXPECT_NE(pid, getpid()) << "the stale file was taken over";
    EXPECT_EQ(script("status", &out), 0);
    EXPECT_EQ(out, "gnssd running (pid " + std::to_string(pid) + ")\n");
    EXPECT_EQ(script("start", &out), 0);
    EXPECT_EQ(out, "gnssd already running\n");

    // Ended (a zombie until whoever adopted it reaps it) when the script returns.
    auto alive = [&] {
        const std::string stat = th::read_file("/proc/" + std::to_string(pid) + "/stat");
        return !stat.empty() && stat.compare(stat.rfind(')') + 2, 1, "Z") != 0;
    };
    EXPECT_EQ(script("stop", &out), 0) << out;
    EXPECT_FALSE(alive()) << "stopped before the script returned";
    EXPECT_FALSE(th::file_exists(pidfile));
    EXPECT_EQ(script("status"), 3);
    EXPECT_EQ(script("stop"), 0) << "stopping a stopped service is no error";
    if (alive())
        kill(pid, SIGKILL);
}

}  // namespace
