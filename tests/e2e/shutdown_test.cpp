// SPDX-License-Identifier: BSD-2-Clause
// Fault table, stopping: SIGTERM in every state of the service's life ends it within the design's
// waits, stalled sockets included, and a clock set back while framing keeps the bursts flowing.
#include "e2e/fault_rig.h"

using namespace std::chrono_literals;
using namespace fault_rig;

namespace {

// =============================================================================
// Bounded shutdown
// =============================================================================

// One state of the service's life in which SIGTERM arrives, and the waits the
// daemon is still bound to sit out after it: a wait the signal interrupts ends
// at once; one that starts after the signal was taken runs its full length.
struct LifecycleCase {
    const char* name;
    Args sim_args;
    // Brings the daemon into the state; false when it did not get there.
    std::function<bool(Rig&)> reach;
    double design_wait_seconds;
    // 1: the module's engine ran at the stop and must get the stop text; 0:
    // it must not; -1: an open that the stop undoes at once, too fast for the
    // simulator to see (it finds the port closed again before it reads).
    int engine_on_at_stop;
    const char* why;
};

void PrintTo(const LifecycleCase& c, std::ostream* os)
{
    *os << c.name;
}

bool first_sentences(Rig& r)
{
    return r.daemon.wait_log("gps: notice: running...\n", 40s) &&
           th::wait_until([&] { return r.rmc("ttyS0") >= 1; }, 20s);
}

bool unplugged(Rig& r)
{
    if (!first_sentences(r))
        return false;
    r.ctl("unplug");
    return r.daemon.wait_log("gps: warning: no data from GPS\n", 10s);
}

const LifecycleCase kLifecycle[] = {
    {"FirstOpenSettleDelay",
     {},
     [](Rig& r) {
         // Past the handler's installation and the install step, asleep,
         // and the module has not had its start text: inside the driver's
         // settle delay.
         return th::wait_until(
                    [&] {
                        return term_handler_installed(r.daemon.pid) &&
                               r.log().find("gps: notice: no installation required\n") != std::string::npos &&
                               main_thread_sleeping(r.daemon.pid);
                    },
                    10s) &&
                r.module_texts("$GPS_START") == 0;
     },
     0,
     0,
     "the settle delay is interrupted; the start stops there and the module is never switched on"},
    {"FirstOpenNoModule",
     {"--usb", "none"},
     [](Rig& r) { return r.daemon.wait_log("gps: err: no GPS module available\n", 20s); },
     0,
     0,
     "the 10-second pause after a failed open is interrupted"},
    {"Running", {}, first_sentences, 0, 1, "the wait for receiver data is interrupted"},
    {"ReopenModuleBack",
     {},
     [](Rig& r) {
         if (!unplugged(r))
             return false;
         r.ctl("plug");
         return true;
     },
     0,
     0,
     "the 1-second pause is interrupted; no new link is opened after the stop request"},
    {"ReopenModuleGoneFailurePause",
     {},
     [](Rig& r) { return unplugged(r) && r.daemon.wait_log("gps: err: initialization failed\n", 15s); },
     0,
     0,
     "the 10-second pause after the failed open is interrupted"},
    {"ReopenModuleGonePause",
     {},
     unplugged,
     0,
     0,
     "the 1-second pause is interrupted; no new link is opened after the stop request"},
    {"StartToolHangs",
     {"--family", "atgps", "--opt", "gsmat_hang=AT!CUSTOM?"},
     [](Rig& r) {
         return th::wait_until(
             [&] {
                 return term_handler_installed(r.daemon.pid) &&
                        th::read_file(r.path("/sim/atgps-hang.pid")).find('\n') != std::string::npos;
             },
             20s);
     },
     0,
     0,
     "a gsmat of the start that ignores SIGTERM is killed at once with its child, and no further tool runs"},
};

class Lifecycle : public ::testing::TestWithParam<LifecycleCase> {};

TEST_P(Lifecycle, SigtermEndsTheServiceWithinTheDesignsWaits)
{
    const LifecycleCase& c = GetParam();
    Rig rig;
    rig.start_sim(join(
        {{"--outputs", "--rate", "2"}, settings_args({"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1"}), c.sim_args}));
    rig.start_daemon();
    ASSERT_TRUE(c.reach(rig)) << rig.log();
    const double limit = c.design_wait_seconds + kExitMarginSeconds;
    const double took = rig.terminate(limit + 15);
    std::printf("[ figures  ] %s: exit %.2f s after SIGTERM (design waits %.0f s: %s)\n", c.name, took,
                c.design_wait_seconds, c.why);
    ASSERT_GE(took, 0) << "no exit within " << limit + 15 << " s\n" << rig.log();
    EXPECT_LE(took, limit) << c.why;
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    const std::string log = rig.log();
    // Whatever state it left, the service tore down what it had built.
    EXPECT_TRUE(th::has(log, "gps: notice: Pseudo-terminal has been closed\ngps: notice: stopped\n"));
    EXPECT_EQ(rig.present({"/dev/nmea", "/run/stats.gps", "/run/loc.gps", "/run/gps.socket", "/run/lock/LCK..ttyS0",
                           "/run/lock/LCK..ttyUSB9"}),
              Args{});
    // An engine that was running at the stop was switched off (a stop text
    // written to an unplugged port reaches nobody).
    if (c.engine_on_at_stop >= 0) {
        EXPECT_EQ(rig.module_texts("$GPS_STOP"), c.engine_on_at_stop) << log;
    }
    if (std::string(c.name) == "StartToolHangs") {
        const pid_t child = std::atoi(th::read_file(rig.path("/sim/atgps-hang.pid")).c_str());
        EXPECT_TRUE(child > 0 && th::wait_until([&] { return kill(child, 0) != 0; }, 5s))
            << "the tool's child lives on";
        EXPECT_EQ(th::read_file(rig.path("/sim/tools.log")), "gsmat AT!CUSTOM?\n") << "a tool ran after the stop";
    }
    if (std::string(c.name) == "FirstOpenSettleDelay") {
        EXPECT_EQ(log.find("running..."), std::string::npos) << log;
        EXPECT_LT(seconds_since(rig.daemon_started), 5.0) << "the settle delay was not interrupted";
    }
}

INSTANTIATE_TEST_SUITE_P(FaultTable, Lifecycle, ::testing::ValuesIn(kLifecycle),
                         [](const ::testing::TestParamInfo<LifecycleCase>& info) { return info.param.name; });

// A listener whose accept queue is full: connects to it get no answer, like
// connects to an address that drops every packet.
struct Blackhole {
    int fd = -1;
    int port = 0;
    std::vector<int> fillers;
    Blackhole()
    {
        fd = th::bound_socket(SOCK_STREAM, 0, &port);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        for (int i = 0; i < 4; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers.push_back(c);
        }
    }
    ~Blackhole()
    {
        for (int c : fillers)
            close(c);
        close(fd);
    }
};

// Remote streams pointed at a server that stopped reading, at an address
// that never answers a connect and at a full listener, SNMP traps and a
// control-shell client that connected and says nothing: none of them holds
// up the stop. The $GPS_START driver's stop sequence has no wait of its own.
TEST(FaultTable, StalledAndUnansweredSocketsAndAnIdleShellClientDoNotDelayTheStop)
{
    th::TempDir srv_dir;
    NetServers srv;
    srv.start(srv_dir.path, {"tcp:stall", "udp:feed"}, 2048);
    Blackhole hole;
    Rig rig;
    // Receiver cycles of about 10 kB each: a stalled server's connection fills within seconds.
    ASSERT_TRUE(
        rig.start(join({{"--outputs", "--loop", "--rate", "2"}, rig.capture(drive_capture(60, always_moving, 140))}),
                  join({{"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1", "MOD_GPS_GPSD_ENABLED=1",
                         "MOD_GPS_GPSD_PORT_INNER=" + std::to_string(srv.port("feed")), "MOD_GPS_SNMP_REPORT_ENABLED=1",
                         "MOD_GPS_SNMP_REPORT_IPADDR=127.0.0.1", "MOD_GPS_SNMP_REPORT_PERIOD=1",
                         "MOD_GPS_SNMP_REPORT_PERIOD_HALT=1"},
                        rsock_keys(1, "127.0.0.1", 0, srv.port("stall")),
                        rsock_keys(2, "10.255.255.1", 0, 9),
                        rsock_keys(3, "127.0.0.1", 0, hole.port),
                        rsock_keys(4, "127.0.0.1", 1, srv.port("feed"))})))
        << rig.log();
    ASSERT_TRUE(th::wait_until([&] { return srv.received("stall") > 0; }, 20s)) << rig.log();
    srv.command("stall stall");

    const int client = th::connect_unix(rig.path("/run/gps.socket"));
    ASSERT_GE(client, 0) << std::strerror(errno);

    // The stalled connection holds a backlog the server does not take (the
    // sender's buffer grows with it here, up to megabytes, so a send that
    // blocks outright is left to the in-process tests of the streams).
    const int stall_port = srv.port("stall");
    ASSERT_TRUE(th::wait_until([&] { return unsent_bytes_to(stall_port) >= 8192; }, 30s))
        << unsent_bytes_to(stall_port);
    const std::size_t stalled_at = srv.received("stall");
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") >= 3; }, 10s));
    EXPECT_EQ(srv.received("stall"), stalled_at);

    const long stuck = unsent_bytes_to(stall_port);
    const double took = rig.terminate(20);
    std::printf("[ figures  ] exit %.2f s after SIGTERM with %ld bytes stuck toward a stalled server\n", took, stuck);
    ASSERT_GE(took, 0) << "no exit within 20 s\n" << rig.log();
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    EXPECT_FALSE(th::file_exists(rig.path("/run/gps.socket")));
    // The idle client sees its connection closed.
    pollfd p{client, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 2000), 1);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), 0);
    close(client);
}

// =============================================================================
// Clock set back while remote streams frame bursts
// =============================================================================

// The daemon cannot set the machine's clock back in a test, so the framing is
// driven with given wall-clock times. A step back joins the sentences around
// it into one burst; what follows is framed as before, and no burst is lost
// but by the rules (a gap of 2 s or more).
TEST(FaultTable, ClockSetBackWhileFramingKeepsBurstsFlowing)
{
    th::process_root();
    // A refused TCP server: the worker waits between connect attempts and
    // never takes a completed burst away while the test looks at it.
    int port = 0;
    const int refusing = th::bound_socket(SOCK_STREAM, -1, &port);
    RemoteSocketSettings settings{};
    char host[] = "127.0.0.1";
    settings.enabled = 1;
    settings.ipaddr = host;
    settings.protocol = 0;
    settings.port = port;
    settings.period = 1;
    settings.period_halt = 1;

    struct Write {
        const char* data;
        long long at_us;            // wall clock of the write
        const char* pending_after;  // the completed burst waiting to be sent afterwards
    };
    struct Case {
        const char* legend;
        std::vector<Write> writes;
    };
    constexpr long long kHour = 3600LL * 1000000;
    const Case cases[] = {
        {"an hour back mid-burst: joined, then cycles complete as before",
         {{"A", 10 * kHour, ""},
          {"a", 10 * kHour + 100000, ""},
          {"B", 9 * kHour, ""},
          {"b", 9 * kHour + 100000, ""},
          {"C", 9 * kHour + 1000000, "AaBb"},
          {"D", 9 * kHour + 2000000, "C"},
          {"E", 9 * kHour + 3000000, "D"}}},
        {"a tenth of a second back across the second boundary",
         {{"A", 5000000, ""}, {"B", 4900000, ""}, {"C", 5800000, "AB"}, {"D", 6800000, "C"}}},
        {"back by exactly one second at a cycle boundary",
         {{"A", 5000000, ""}, {"B", 6000000, "A"}, {"C", 5000000, "A"}, {"D", 6000000, "BC"}}},
        {"back to the epoch, then forward again to the present",
         {{"A", 1700000000LL * 1000000, ""},
          {"B", 0, ""},
          {"C", 1000000, "AB"},
          {"D", 1700000001LL * 1000000, "AB"},
          {"E", 1700000002LL * 1000000, "D"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        RemoteSocket* rs = rsock_open(&settings);
        ASSERT_NE(rs, nullptr);
        for (const Write& w : c.writes) {
            rsock_write_at(rs, w.data, std::strlen(w.data), 1, w.at_us / 1000);
            char buf[64] = {};
            const int n = rsock_peek(rs, 1, buf, sizeof buf - 1, nullptr);
            ASSERT_GE(n, 0);
            EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), w.pending_after) << "after " << w.data;
        }
        rsock_close(rs);
    }
    close(refusing);
}

}  // namespace
