// SPDX-License-Identifier: BSD-2-Clause
// The command line of the built executable under a simulation root: install, uninstall, usage.
#include <sys/file.h>

#include "e2e/fault_rig.h"

namespace {

using namespace fault_rig;
using th::run_tool;

std::string port8_line(const char* vendor, const char* product)
{
    return std::string("usbserinfo:1.0 driver:2.0\n8: name:\"GSM modem (1-port)\" vendor:") + vendor +
           " product:" + product + " num_ports:1 port:0 path:usb-ehci-platform-1\n";
}

// The first line of the usage text, printed on standard error as well.
const std::string kUsage = "usage: gnssd [-f|--foreground|install|uninstall|status [--json]|check|--help|--version]\n";

TEST(CommandLine, ModesAndTheirMessages)
{
    th::TempDir root;
    th::make_root_dirs(root.path);
    th::write_file(root.path + "/dev/gpio", "board_code=4\nplatform_id=1\n");
    const std::string none = "gps: notice: no device for installation found\n", quectel = port8_line("2c7c", "0125"),
                      uninstall = "gps: notice: module uninstall\n",
                      usage = "gps: notice: usage: " + th::daemon_bin() + " [install|uninstall]\n" + kUsage;
    struct Case {
        const char* legend;
        std::string usbserial;  // empty: no list at all
        const char* arg;
        std::string want;
    };
    const Case cases[] = {
        {"install without a module", "", "install", none},
        {"install, any word that begins with install", "", "installation", none},
        {"install on a module whose row has no install step", quectel, "install",
         "gps: notice: no installation required\n"},
        {"install of an unknown module", port8_line("1234", "5678"), "install", none},
        {"uninstall without a module", "", "uninstall", uninstall},
        {"uninstall of a row without an uninstall step", quectel, "uninstall-now", uninstall},
        {"anything else", "", "bogus", usage},
        {"a prefix of install is not install", "", "inst", usage},
        {"the new words are whole words", "", "statusx", usage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const std::string list = root.path + "/proc/tty/driver/usbserial";
        if (c.usbserial.empty())
            std::remove(list.c_str());
        else
            th::write_file(list, c.usbserial);
        const th::ToolRun r = run_tool(root.path, {c.arg});
        EXPECT_EQ(r.exit(), 0);
        // The whole usage text follows its first line.
        EXPECT_EQ(r.log.substr(0, c.want.size()), c.want);
        EXPECT_EQ(r.log.size() > c.want.size(), c.want.find(kUsage) != std::string::npos) << r.log;
    }
}

// The operator's tools under a root without a running service: "check"
// prints its findings and every value and fails on what the service would
// misread; "status" says that no service runs.
TEST(CommandLine, CheckAndStatusWithoutAService)
{
    th::TempDir root;
    th::make_root_dirs(root.path);
    th::write_file(root.path + "/dev/gpio", "board_code=4\nplatform_id=1\n");
    const std::string settings = root.path + "/opt/gps/etc/settings";
    // The settings file the packages install, and the example beside it.
    const std::string installed = th::read_file(th::data_path("../../packaging/settings"));
    const std::string example = th::read_file(th::data_path("../../packaging/settings.example"));
    const std::string pty_line = "MOD_GPS_PTY_ENABLED=0\n";
    const int example_lines = th::count_of(example, "\n");
    const int pty_at = th::count_of(example.substr(0, example.find("\n" + pty_line) + 1), "\n") + 1;
    const std::string me = std::to_string(getpid());
    struct Case {
        const char* legend;
        std::string file;  // empty: none
        const char* args;  // between spaces
        int exit;
        std::string want;      // lines of the captured output, each there once
        bool service = false;  // the pid file is locked, as by a service still starting
    } cases[] = {
        {"check without a file: defaults, and where it looked", "", "check", 0,
         // Named as the router knows it, as every path in a message.
         "gps: notice: settings: /opt/gps/etc/settings not found, defaults used\nMOD_GPS_ENABLED=0\n"
         "MOD_GPS_ROUTER_ID_STRING=\"\"\nMOD_GPS_GPSD_PORT_LISTEN=0\n"},
        {"check of a clean file", "MOD_GPS_ENABLED=1\nMOD_GPS_ROUTER_ID_STRING=\"r 1\"\nOTHER=x\n", "check", 0,
         "MOD_GPS_ENABLED=1\nMOD_GPS_ROUTER_ID_STRING=\"r 1\"\n"},
        {"check of a stream that stays off: warned, still valid", "MOD_GPS_RSOCK2_ENABLED=1\nMOD_GPS_RSOCK2_IPADDR=h\n",
         "check", 0, "gps: warning: settings: RSOCK2 is enabled but has no port (MOD_GPS_RSOCK2_*), it stays off\n"},
        {"check of a misspelt key", "MOD_GPS_RSOCK1_ENABLE=1\n", "check", 1,
         "gps: warning: settings: unknown key \"MOD_GPS_RSOCK1_ENABLE\" ignored\nMOD_GPS_RSOCK1_ENABLED=0\n"},
        {"check of a value that is not a number", "MOD_GPS_RSOCK1_PERIOD=ten\n", "check", 1,
         "gps: warning: settings: MOD_GPS_RSOCK1_PERIOD=\"ten\" is not a number, read as 0\n"},
        {"check of the installed file with a line appended: that line is in force",
         installed + "MOD_GPS_PTY_ENABLED=1\n", "check", 0, "MOD_GPS_PTY_ENABLED=1\nMOD_GPS_MQTT_BACKLOG=3600\n"},
        {"check of the example with a line appended: the line ignored is named", example + "MOD_GPS_PTY_ENABLED=1\n",
         "check", 0,
         "gps: warning: settings: MOD_GPS_PTY_ENABLED is given twice: line " + std::to_string(pty_at) +
             " is in force, line " + std::to_string(example_lines + 1) + " is ignored\n" + pty_line},
        {"check of an MQTT QoS the feed reads as another: a bracketed IPv6 host is fine",
         "MOD_GPS_MQTT_ENABLED=1\nMOD_GPS_MQTT_HOST=[::1]\nMOD_GPS_MQTT_QOS=2\n", "check", 1,
         "gps: warning: settings: MOD_GPS_MQTT_QOS=\"2\" is not 0 or 1, 1 is used\n"},
        {"check of an MQTT backlog that is no number: refused as the feed refuses it",
         "MOD_GPS_MQTT_ENABLED=1\nMOD_GPS_MQTT_HOST=broker\nMOD_GPS_MQTT_BACKLOG=lots\n", "check", 1,
         "gps: warning: settings: MQTT is enabled but has a backlog that is not a number (MOD_GPS_MQTT_*), it stays "
         "off\n"},
        {"status without a service", "", "status", 1, "gnssd is not running: no service answers on /run/gps.socket"},
        {"status of a service still looking for its module", "", "status", 0,
         "gnssd is running (pid " + me + "), no status yet: looking for its GPS module\n", true},
        {"status --json of a service still looking for its module", "", "status --json", 0,
         "{\"pid\":" + me + ",\"status\":null,\"reason\":\"looking for its GPS module\"}\n", true},
        {"status --json without a service", "", "status --json", 1, "gnssd is not running"},
        {"status with a word it does not know", "", "status --xml", 1, kUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        std::remove(settings.c_str());
        if (!c.file.empty())
            th::write_file(settings, c.file);
        int pid_fd = -1;
        if (c.service) {
            pid_fd = open((root.path + "/run/gnssd.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_EQ(flock(pid_fd, LOCK_EX | LOCK_NB), 0);
            ASSERT_EQ(write(pid_fd, (me + "\n").data(), me.size() + 1), static_cast<ssize_t>(me.size() + 1));
        }
        const th::ToolRun r = run_tool(root.path, words(c.args));
        if (pid_fd >= 0) {
            close(pid_fd);
            std::remove((root.path + "/run/gnssd.pid").c_str());
        }
        EXPECT_EQ(r.exit(), c.exit);
        for (const std::string& w : th::lines_of(c.want)) {
            // A tool's findings are printed once, not mirrored a second time.
            EXPECT_EQ(th::count_of(r.log, w), 1) << w << " in\n" << r.log;
        }
    }
}

// Whatever listens on the control socket, "status" keeps to its 5 s and
// never lets the peer's bytes drive the terminal; "--json" passes on one
// valid JSON line or fails.
TEST(CommandLine, StatusFromAHostilePeer)
{
    th::TempDir root;
    th::make_root_dirs(root.path);
    struct Case {
        const char* legend;
        std::string reply;  // sent whole, or a byte every half second when trickle
        bool trickle;
        bool json;  // "status --json", else "status"
        int exit;
        std::string want;  // in the captured output
    } cases[] = {
        {"escape sequences are shown, not obeyed",
         "gnssd 9\x1b[2J\a ok\tx\n\xc2\x9b"
         "31m \xff\xc3\xa9\n",
         false, false, 0, "gnssd 9\\x1B[2J\\x07 ok\tx\n\\u009B31m \\xFF\xc3\xa9\n"},
        {"a JSON line passes, a C1 control in it escaped", "{\"a\":[1,-2.5e3,true,null],\"b\":\"x\xc2\x9by\\u001b\"}\n",
         false, true, 0, "{\"a\":[1,-2.5e3,true,null],\"b\":\"x\\u009By\\u001b\"}\n"},
        {"no JSON is an error", "\x1b[2Jhello\n", false, true, 1, "gnssd sent no valid status on"},
        {"two JSON lines are an error", "{}\n{}\n", false, true, 1, "gnssd sent no valid status on"},
        {"a peer that trickles its answer is given 5 s", std::string(60, 'x'), true, false, 1,
         "gnssd did not answer on /run/gps.socket within 5 s\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const std::string path = root.path + "/run/gps.socket";
        std::remove(path.c_str());
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 4), 0);
        std::atomic<bool> done{false};
        std::thread peer([&] {
            const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0)
                return;
            char request[64];
            (void)!read(conn, request, sizeof request);
            if (!c.trickle) {
                (void)!send(conn, c.reply.data(), c.reply.size(), MSG_NOSIGNAL);
            } else {
                for (char ch : c.reply) {
                    if (done || send(conn, &ch, 1, MSG_NOSIGNAL) != 1)
                        break;
                    std::this_thread::sleep_for(500ms);
                }
            }
            close(conn);
        });
        // run_tool allows 30 s, the trickle takes 30 s.
        const th::ToolRun r = run_tool(root.path, c.json ? Args{"status", "--json"} : Args{"status"});
        done = true;
        shutdown(listener, SHUT_RDWR);
        peer.join();
        close(listener);
        EXPECT_EQ(r.exit(), c.exit) << r.log;
        EXPECT_TRUE(th::has(r.log, c.want));
        EXPECT_EQ(r.log.find('\x1b'), std::string::npos) << "raw escape passed on";
    }
}

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutputAndTouchNothing)
{
    th::TempDir root;  // empty: no root directories, nothing to touch
    for (const char* arg : {"--help", "--version"}) {
        SCOPED_TRACE(arg);
        const th::ToolRun r = run_tool(root.path, {arg});
        EXPECT_EQ(r.exit(), 0);
        EXPECT_EQ(r.log.find("gps: "), std::string::npos) << "nothing logged: " << r.log;
        if (std::string(arg) == "--help") {
            EXPECT_EQ(r.log.rfind(kUsage, 0), 0u) << r.log;
            EXPECT_TRUE(th::has(r.log, "gnssd(8)"));
        } else {
            EXPECT_EQ(r.log, "gnssd 1.0.0\n");
        }
    }
    // Only the captured output lies below the root.
    for (const auto& entry : std::filesystem::directory_iterator(root.path))
        EXPECT_EQ(entry.path().filename().string().rfind("stderr-", 0), 0u) << entry.path();
}

// A hang-up of the terminal (a dropped SSH session) or a Ctrl-C reaches the
// install's whole process group right after the modem was switched off: the
// restart still powers it on and starts PPP before the process ends.
TEST(CommandLine, InstallInterruptedDuringTheModemRestartStillCompletesIt)
{
    Rig rig;
    th::start_router_sim(rig.sim, rig.root, "atgps", {});
    const std::string tools_log = rig.path("/sim/tools.log");
    th::write_file(tools_log, "");
    rig.start_daemon({}, {"install"});
    th::Process& p = rig.daemon;
    ASSERT_TRUE(th::wait_until([&] { return th::read_file(tools_log).find("gsmpwr off\n") != std::string::npos; }, 30s))
        << th::read_file(tools_log) << p.log();
    // The harness makes the install a process group leader, as a shell does.
    ASSERT_EQ(kill(-p.pid, SIGHUP), 0);
    ASSERT_TRUE(p.wait_exit(30s));
    EXPECT_TRUE(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 0) << p.status;
    const std::string calls = th::read_file(tools_log);
    const std::size_t off = calls.find("gsmpwr off\n");
    ASSERT_NE(off, std::string::npos);
    EXPECT_EQ(calls.substr(off), "gsmpwr off\ngsmpwr on\nservice ppp start\n") << calls;
    EXPECT_EQ(rig.file("/sim/atgps-power"), "on\n");
    EXPECT_EQ(rig.file("/sim/atgps-gpssel"), "1\n");
}

}  // namespace
