// SPDX-License-Identifier: BSD-2-Clause
// Remote streams end to end: the daemon under a simulation root streaming to loopback servers.
#include "e2e/fault_rig.h"

using namespace fault_rig;

namespace {

// One line of the servers' event log.
struct ServerEvent {
    long long ms;
    std::string name;
    std::string kind;
    long long a = 0, b = 0;
};

// gnssd-sim server, run for one test, with its event log read back.
struct Servers : th::SimServers {
    // The events of one server of one kind ("recv", "accept").
    std::vector<ServerEvent> events(const std::string& name, const std::string& kind) const
    {
        std::vector<ServerEvent> out;
        std::istringstream in(th::read_file(dir + "/server.log"));
        for (std::string line; std::getline(in, line);) {
            std::istringstream ls(line);
            ServerEvent e;
            ls >> e.ms >> e.name >> e.kind >> e.a >> e.b;
            if (e.name == name && e.kind == kind)
                out.push_back(e);
        }
        return out;
    }
};

using th::with_checksum;

// One received burst: the cycle numbers it carries and its moving flag.
struct Burst {
    long long ms;
    std::vector<int> cycles;
    bool moving;
    bool whole;
};

int cycle_of(const std::string& hms)
{
    return (std::atoi(hms.substr(0, 2).c_str()) - 10) * 3600 + std::atoi(hms.substr(2, 2).c_str()) * 60 +
           std::atoi(hms.substr(4, 2).c_str());
}

// Splits one send as received into cycles (numbered by their RMC); whole
// means complete lines only, each RMC followed by its GSA. The daemon passes
// on only some GGA sentences, so they (and GSV) are allowed anywhere.
Burst parse_burst(long long ms, const std::string& bytes)
{
    Burst b{ms, {}, true, !bytes.empty()};
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos) {
            b.whole = false;
            break;
        }
        lines.push_back(bytes.substr(pos, end - pos));
        pos = end + 2;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.rfind("$GPGGA,", 0) == 0 || l.rfind("$GPGSV,", 0) == 0)
            continue;
        if (l.rfind("$GPRMC,", 0) == 0 && i + 1 < lines.size() && lines[i + 1].rfind("$GPGSA,", 0) == 0) {
            b.cycles.push_back(cycle_of(l.substr(7, 6)));
            const std::size_t speed = l.find(",E,") + 3;
            b.moving = std::atof(l.substr(speed, l.find(',', speed) - speed).c_str()) >= 0.1;
            ++i;
            continue;
        }
        b.whole = false;
    }
    return b;
}

std::vector<Burst> bursts(const Servers& srv, const std::string& name)
{
    const std::string data = srv.data(name);
    std::vector<Burst> out;
    for (const ServerEvent& e : srv.events(name, "recv"))
        if (e.a + e.b <= static_cast<long long>(data.size()))
            out.push_back(parse_burst(e.ms, data.substr(static_cast<std::size_t>(e.a), static_cast<std::size_t>(e.b))));
    return out;
}

// Each named server got at least n bursts.
bool each_got(const Servers& srv, std::initializer_list<const char*> names, std::size_t n)
{
    for (const char* name : names)
        if (bursts(srv, name).size() < n)
            return false;
    return true;
}

// Every burst whole and every cycle later than the one before.
void expect_whole_in_order(const std::vector<Burst>& got, const char* legend)
{
    SCOPED_TRACE(legend);
    int last = -1;
    for (const Burst& b : got) {
        EXPECT_TRUE(b.whole) << "torn burst at " << b.ms;
        for (int c : b.cycles) {
            EXPECT_GT(c, last) << "out of order at " << b.ms;
            last = c;
        }
    }
}

// Gaps between sends: after a burst sent while moving at least period - 1
// ticks, after a halted one period_halt - 1 ticks (one tick at least). Where
// every burst is due (a period of 1 or 2), two receiver cycles that complete
// within one tick go together at that tick: a short gap then follows a full
// one, never another short one. Returns the number of gaps of each kind seen.
std::pair<int, int> expect_pace(const std::vector<Burst>& got, int period, int halt, const char* legend)
{
    SCOPED_TRACE(legend);
    int moving_gaps = 0, halted_gaps = 0;
    bool last_short = false;
    for (std::size_t i = 1; i < got.size(); ++i) {
        const int p = got[i - 1].moving ? period : halt;
        const long long min_ms = 1000LL * std::max(1, p - 1) - 150;
        const long long gap = got[i].ms - got[i - 1].ms;
        if (gap < min_ms && p <= 2 && !last_short) {
            last_short = true;
            continue;
        }
        EXPECT_GE(gap, min_ms) << "send " << i << " came too early";
        last_short = false;
        ++(got[i - 1].moving ? moving_gaps : halted_gaps);
    }
    return {moving_gaps, halted_gaps};
}

// The drive replayed in a loop with the settings, extra more arguments of
// the simulator; the daemon is started (start_daemon) when told.
void start(Rig& run, const std::string& capture, const Args& settings, const Args& extra = {}, bool daemon = true)
{
    run.start_sim(join({run.capture(capture), {"--loop"}, extra, settings_args(settings)}));
    if (!daemon)
        return;
    run.start_daemon();
    ASSERT_TRUE(run.wait_running()) << run.log();
}

// SIGTERM: the daemon ends cleanly within 10 s.
void stop(Rig& run)
{
    EXPECT_TRUE(run.stop_daemon(SIGTERM, 10s)) << "the daemon did not stop cleanly within 10 s\n" << run.log();
}

// The keys of streams 1, 2... to the loopback servers named, TCP, a burst a tick.
Args streams_to(const th::SimServers& srv, std::initializer_list<const char*> names)
{
    Args out;
    int n = 0;
    for (const char* name : names)
        out = join({out, rsock_keys(++n, "127.0.0.1", 0, srv.port(name))});
    return out;
}

// Moving for 8 cycles, standing for 12, over and over.
bool drive_8_12(int i)
{
    return i % 20 < 8;
}

TEST(RsockE2e, BurstsArriveWholeInOrderAtThePaceOfTheMovingFlag)
{
    th::TempDir dir;
    Servers srv;
    srv.start(dir.path, {"tcp:p1", "tcp:p2", "udp:u3", "tcp:t4"});
    Rig run;
    start(run, drive_capture(200, drive_8_12),
          join({rsock_keys(1, "127.0.0.1", 0, srv.port("p1")), rsock_keys(2, "127.0.0.1", 2, srv.port("p2"), 2, 4),
                rsock_keys(3, "127.0.0.1", 1, srv.port("u3"), 1, 4),
                // Incomplete: no halted pace.
                rsock_keys(4, "127.0.0.1", 0, srv.port("t4"), 1, 0)}));
    // Long enough for a standing stretch and the drive after it on every
    // stream.
    ASSERT_TRUE(th::wait_until(
        [&] {
            auto b = bursts(srv, "p2");
            int moved_after_halt = 0;
            for (std::size_t i = 1; i < b.size(); ++i)
                moved_after_halt += !b[i - 1].moving && b[i].moving;
            return moved_after_halt >= 1 && bursts(srv, "u3").size() >= 12;
        },
        90s));
    stop(run);

    const auto p1 = bursts(srv, "p1"), p2 = bursts(srv, "p2"), u3 = bursts(srv, "u3");
    expect_whole_in_order(p1, "TCP protocol 0");
    expect_whole_in_order(p2, "TCP protocol 2");
    expect_whole_in_order(u3, "UDP");
    expect_pace(p1, 1, 1, "period 1");
    auto [p2_moving, p2_halted] = expect_pace(p2, 2, 4, "period 2, period_halt 4");
    auto [u3_moving, u3_halted] = expect_pace(u3, 1, 4, "UDP period 1, period_halt 4");
    EXPECT_GT(p2_moving, 0);
    EXPECT_GT(p2_halted, 0);
    EXPECT_GT(u3_moving, 0);
    EXPECT_GT(u3_halted, 0);
    // Period 1: one send a tick, so no cycle is skipped while the stream flows.
    ASSERT_GE(p1.size(), 3u);
    for (std::size_t i = 2; i < p1.size(); ++i)
        EXPECT_LE(p1[i].cycles.front() - p1[i - 1].cycles.back(), 2) << "period 1 skipped cycles";
    // A record without a halted pace opens nothing and says nothing.
    EXPECT_TRUE(srv.events("t4", "accept").empty());
    const std::string log = run.log();
    EXPECT_EQ(log.find("socket error"), std::string::npos) << log;
    EXPECT_EQ(log.find("rsock"), std::string::npos) << log;
}

void every_network_fault_ends_in_a_reconnect()
{
    th::TempDir dir;
    Servers srv;
    // Small receive buffers so that a stalled server stops the sender soon.
    srv.start(dir.path, {"tcp:late", "tcp:restart", "tcp:rst", "tcp:stall"}, 2048);
    srv.command("stop late");
    Rig run;
    start(run, drive_capture(400, always_moving),
          join({{"MOD_GPS_EP1_ENABLED=1"}, streams_to(srv, {"late", "restart", "rst", "stall"})}), {"--outputs"});

    // Server down at start: refused, then up; the first burst goes at the
    // first tick after the connect.
    ASSERT_TRUE(run.daemon.wait_log("gps: err: connect socket error: Connection refused", 20s)) << run.log();
    ASSERT_TRUE(th::wait_until([&] { return !bursts(srv, "restart").empty() && !bursts(srv, "rst").empty(); }, 20s));
    srv.command("start late");
    ASSERT_TRUE(th::wait_until([&] { return !bursts(srv, "late").empty(); }, 20s));
    {
        const auto accepts = srv.events("late", "accept");
        ASSERT_EQ(accepts.size(), 1u);
        const long long first = bursts(srv, "late").front().ms - accepts.front().ms;
        EXPECT_GE(first, 850);
        EXPECT_LE(first, 3500) << "the first burst did not go at the first tick";
    }

    // Restarted mid-stream and reset: both reconnect and stream on.
    srv.command("stop restart");
    srv.command("start restart");
    srv.command("reset rst");
    const std::size_t restart_before = bursts(srv, "restart").size(), rst_before = bursts(srv, "rst").size();
    ASSERT_TRUE(th::wait_until(
        [&] {
            return srv.events("restart", "accept").size() >= 2 && srv.events("rst", "accept").size() >= 2 &&
                   bursts(srv, "restart").size() >= restart_before + 2 && bursts(srv, "rst").size() >= rst_before + 2;
        },
        30s));
    EXPECT_TRUE(run.daemon.wait_log("gps: err: rsock_tcp_socket_exec - socket recv error: Connection reset by peer", 1s))
        << run.log();

    // A stalled server: the local output gets every cycle meanwhile. (The
    // daemon's send buffer grows to megabytes here, so the worker itself is
    // held up only in the in-process test, which can shrink that buffer.)
    ASSERT_TRUE(th::wait_until([&] { return !bursts(srv, "stall").empty(); }, 10s));
    srv.command("stall stall");
    const int rmcs_before = run.rmc("ttyS0");
    const std::size_t stall_received = srv.data("stall").size();
    EXPECT_TRUE(th::wait_until([&] { return run.rmc("ttyS0") >= rmcs_before + 12; }, 30s))
        << "the local output stopped while a remote server stalled";
    EXPECT_EQ(srv.data("stall").size(), stall_received);
    srv.command("resume stall");
    ASSERT_TRUE(th::wait_until([&] { return srv.data("stall").size() > stall_received + 1000; }, 20s));
    // Stalled again: the service still stops at once.
    srv.command("stall stall");
    const std::size_t stall_total = srv.data("stall").size();
    stop(run);

    // Whatever reached each server came whole and in order.
    for (const char* name : {"late", "restart", "rst"})
        expect_whole_in_order(bursts(srv, name), name);
    // The stalled stream resumes where it stood: TCP segments of bursts may
    // merge on the way, so check the bytes as one stream.
    expect_whole_in_order({parse_burst(0, srv.data("stall").substr(0, stall_total))}, "stalled");
}

// A JSON value at text[pos], skipped; false when it is not well formed.
bool skip_json(const std::string& t, std::size_t& pos)
{
    auto ws = [&] {
        while (pos < t.size() && std::strchr(" \t\r\n", t[pos]))
            ++pos;
    };
    ws();
    if (pos >= t.size())
        return false;
    const char c = t[pos];
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        ++pos;
        ws();
        if (pos < t.size() && t[pos] == close)
            return ++pos, true;
        for (;;) {
            if (c == '{') {
                if (!skip_json(t, pos) || (ws(), pos >= t.size() || t[pos++] != ':'))
                    return false;
            }
            if (!skip_json(t, pos))
                return false;
            ws();
            if (pos < t.size() && t[pos] == ',') {
                ++pos;
                continue;
            }
            return pos < t.size() && t[pos++] == close;
        }
    }
    if (c == '"') {
        for (++pos; pos < t.size() && t[pos] != '"'; ++pos)
            if (t[pos] == '\\')
                ++pos;
            else if (static_cast<unsigned char>(t[pos]) < 0x20)
                return false;
        return pos++ < t.size();
    }
    for (const char* word : {"true", "false", "null"})
        if (t.compare(pos, std::strlen(word), word) == 0)
            return pos += std::strlen(word), true;
    const std::size_t start = pos;
    while (pos < t.size() && std::strchr("-+.eE0123456789", t[pos]))
        ++pos;
    return pos > start;
}

// The number behind "key": in the n-th stream of a status line (-1 if none).
long long status_number(const std::string& status, int stream, const std::string& key)
{
    std::size_t pos = status.find("\"streams\":[");
    for (int i = 0; i <= stream && pos != std::string::npos; ++i)
        pos = status.find("{\"name\"", pos + 1);
    if (pos == std::string::npos)
        return -1;
    pos = status.find("\"" + key + "\":", pos);
    return pos == std::string::npos ? -1 : std::atoll(status.c_str() + pos + key.size() + 3);
}

// A 10 Hz receiver and servers that misbehave as fleet servers do: each one
// still gets its stream, and the control socket shows what was sent.
void fast_receiver_talking_stopped_and_unknown_servers()
{
    th::TempDir dir;
    Servers srv;
    // Small receive buffers so that a server that stops reading fills its
    // window soon.
    srv.start(dir.path, {"tcp:fast", "tcp:chat", "tcp:stall"}, 2048);
    srv.command("chatter chat on");
    // Whatever listens on every address must never get the stream of a name
    // that cannot be resolved.
    int any_port = 0;
    const int any = th::bound_socket(SOCK_STREAM | SOCK_NONBLOCK, 4, &any_port, true);
    Rig run;
    start(run, drive_capture(600, always_moving),
          join({{"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_SNMP_REPORT_ENABLED=1", "MOD_GPS_SNMP_REPORT_IPADDR=192.0.2.1",
                 "MOD_GPS_SNMP_REPORT_PERIOD=1", "MOD_GPS_SNMP_REPORT_PERIOD_HALT=1"},
                streams_to(srv, {"fast", "chat", "stall"}),
                rsock_keys(4, "gnss-fleet.invalid", 0, any_port)}),
          {"--outputs", "--rate", "10"}, false);
    // A trap tool that hangs (as on a name server that never answers).
    const std::string trap_log = run.path("/trap-starts");
    th::write_file(run.path("/bin/snmptrap"), "#!/bin/sh\necho start >> '" + trap_log + "'\nexec sleep 300\n");
    chmod(run.path("/bin/snmptrap").c_str(), 0755);
    run.start_daemon();
    ASSERT_TRUE(run.wait_running()) << run.log();
    auto status = [&] { return run.ask("status\n"); };

    ASSERT_TRUE(th::wait_until(
        [&] {
            return each_got(srv, {"fast", "chat"}, 5) && each_got(srv, {"stall"}, 1);
        },
        20s))
        << run.log();
    srv.command("stall stall");
    const auto stalled_at = std::chrono::steady_clock::now();

    // What the report counts as sent is what the server got.
    const std::string first = status();
    std::size_t end = 0;
    EXPECT_TRUE(skip_json(first, end) && first.substr(end) == "\n") << first;
    const long long sent_before = status_number(first, 0, "bytes_sent");
    ASSERT_GT(sent_before, 0) << first;
    ASSERT_TRUE(th::wait_until([&] { return static_cast<long long>(srv.received("fast")) >= sent_before; }, 5s));
    const long long received = static_cast<long long>(srv.received("fast"));
    EXPECT_LE(received, status_number(status(), 0, "bytes_sent"));
    const int rmcs_before = run.rmc("ttyS0");
    const auto counted_at = std::chrono::steady_clock::now();

    // The hanging trap tool is killed after 30 s and the next trap tried.
    EXPECT_TRUE(run.daemon.wait_log("gps: err: snmp_trap_main - trap tool still running after 30 s, killed", 45s))
        << run.log();
    EXPECT_TRUE(th::wait_until([&] { return th::count_of(th::read_file(trap_log), "start") >= 2; }, 5s));
    // Meanwhile the local output went on at the receiver's pace.
    const int rmcs = run.rmc("ttyS0") - rmcs_before;
    EXPECT_GE(rmcs, 8 * th::seconds_since(counted_at)) << rmcs << " cycles";

    // The server that stopped reading is given up and connected again.
    ASSERT_TRUE(th::wait_until([&] { return srv.events("stall", "accept").size() >= 2; },
                               std::chrono::duration_cast<std::chrono::milliseconds>(
                                   60s - (std::chrono::steady_clock::now() - stalled_at))))
        << run.log();
    const std::string name = "(127.0.0.1:" + std::to_string(srv.port("stall")) + ")";
    EXPECT_TRUE(
        run.daemon.wait_log("gps: err: rsock_tcp_exec - server stopped reading: no progress for 30 s " + name, 1s))
        << run.log();
    srv.command("resume stall");
    const long long again = srv.events("stall", "accept")[1].ms;
    EXPECT_TRUE(th::wait_until(
        [&] {
            for (const Burst& b : bursts(srv, "stall"))
                if (b.ms > again + 100)
                    return true;
            return false;
        },
        10s));

    const std::string last = status();
    end = 0;
    EXPECT_TRUE(skip_json(last, end)) << last;
    EXPECT_TRUE(th::has(last, "{\"name\":\"RSOCK2\",\"enabled\":true,\"host\":\"127.0.0.1\",\"port\":" +
                                  std::to_string(srv.port("chat")) + ",\"protocol\":\"tcp\",\"state\":\"connected\""));
    EXPECT_TRUE(th::has(last, "\"host\":\"gnss-fleet.invalid\""));
    EXPECT_EQ(status_number(last, 2, "reconnects"), 1) << last;
    EXPECT_EQ(status_number(last, 3, "bursts_sent"), 0) << last;
    EXPECT_TRUE(th::has(last, "\"last_error\":\"no address for the server\""));
    EXPECT_TRUE(th::has(
        last,
        "{\"name\":\"gpsd\",\"enabled\":false,\"host\":\"127.0.0.1\",\"port\":0,\"protocol\":\"udp\",\"state\":\"disabled\""));
    EXPECT_TRUE(th::has(last, "\"receiver\":{\"family\":\"$GPS_START\",\"data_port\":\""));
    EXPECT_GT(status_number(last, 0, "bursts_dropped"), -1);
    // The old total stays, as the sum of what the pace skipped and what was lost.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(status_number(last, i, "bursts_dropped"),
                  status_number(last, i, "bursts_skipped") + status_number(last, i, "bursts_lost"))
            << i << ": " << last;
    }
    stop(run);

    // The fast receiver's stream: whole sentences, a send every tick or two.
    // A loaded server can take one send in two reads (TCP keeps no message
    // bounds), so reads that end inside a sentence join the next one.
    const auto fast = srv.events("fast", "recv");
    const std::string data = srv.data("fast");
    ASSERT_GE(fast.size(), 20u);
    std::string chunk;
    long long previous_ms = -1;
    for (std::size_t i = 0; i < fast.size(); ++i) {
        chunk += data.substr(static_cast<std::size_t>(fast[i].a), static_cast<std::size_t>(fast[i].b));
        if (chunk.size() < 2 || chunk.compare(chunk.size() - 2, 2, "\r\n") != 0)
            continue;
        EXPECT_EQ(chunk.front(), '$') << "send ending at read " << i << " begins inside a sentence";
        if (previous_ms >= 0) {
            EXPECT_LE(fast[i].ms - previous_ms, 2100) << "send " << i << " came late";
        }
        previous_ms = fast[i].ms;
        chunk.clear();
    }
    // The talking server got its stream all along.
    const auto chat = bursts(srv, "chat");
    ASSERT_GE(chat.size(), 20u);
    for (std::size_t i = 1; i < chat.size(); ++i)
        EXPECT_LE(chat[i].ms - chat[i - 1].ms, 2100) << "talking server starved at " << i;
    // The name that cannot be resolved never led to a connection.
    EXPECT_LT(accept4(any, nullptr, nullptr, SOCK_CLOEXEC), 0);
    const std::string log = run.log();
    EXPECT_GE(th::count_of(log, "gps: warning: error resolving hostname gnss-fleet.invalid"), 2) << log;
    EXPECT_EQ(th::count_of(log, "connect socket error: Connection refused (gnss-fleet.invalid"), 0) << log;
    close(any);
}

// Servers on the IPv6 loopback address, written bare and in brackets, beside
// a name and the gpsd feed on IPv4: every one gets its stream, the status
// report names the address in use, and only the name's address is logged.
TEST(RsockE2e, Ipv6ServersAndANameBesideTheGpsdFeed)
{
    const int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 lo{};
    lo.sin6_family = AF_INET6;
    lo.sin6_addr = in6addr_loopback;
    const bool have_ipv6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&lo), sizeof lo) == 0;
    if (probe >= 0)
        close(probe);
    if (!have_ipv6)
        GTEST_SKIP() << "no IPv6 loopback address";
    th::TempDir dir;
    Servers srv;
    srv.start(dir.path, {"tcp6:t6", "udp6:u6", "tcp:named", "udp:feed"});
    Rig run;
    start(run, drive_capture(200, always_moving),
          join({{"MOD_GPS_GPSD_ENABLED=1", "MOD_GPS_GPSD_PORT_INNER=" + std::to_string(srv.port("feed"))},
                rsock_keys(1, "::1", 0, srv.port("t6")),
                rsock_keys(2, "[::1]", 1, srv.port("u6")),
                rsock_keys(3, "localhost", 0, srv.port("named"))}));
    ASSERT_TRUE(th::wait_until([&] { return each_got(srv, {"t6", "u6", "named", "feed"}, 3); }, 30s)) << run.log();
    const std::string status = run.ask("status\n");
    stop(run);

    // TCP to ::1, UDP to [::1], TCP to localhost.
    for (const char* name : {"t6", "u6", "named"})
        expect_whole_in_order(bursts(srv, name), name);
    const std::string t6 = std::to_string(srv.port("t6")), u6 = std::to_string(srv.port("u6")),
                      named = std::to_string(srv.port("named"));
    EXPECT_TRUE(th::has(status, "\"host\":\"::1\",\"port\":" + t6 +
                                    ",\"protocol\":\"tcp\",\"state\":\"connected\",\"address\":\"[::1]:" + t6 + "\""));
    EXPECT_TRUE(th::has(status, "\"host\":\"[::1]\",\"port\":" + u6 +
                                    ",\"protocol\":\"udp\",\"state\":\"connected\",\"address\":\"[::1]:" + u6 + "\""));
    EXPECT_TRUE(th::has(status, "\"address\":\"127.0.0.1:" + named + "\""));
    const std::string log = run.log();
    EXPECT_EQ(th::count_of(log, "rsock"), 1) << log;
    EXPECT_EQ(th::count_of(log, "gps: info: rsock_tcp_connect - connected to 127.0.0.1:" + named +
                                    " (localhost:" + named + ")"),
              1)
        << log;
    EXPECT_EQ(log.find("socket error"), std::string::npos) << log;
}

// Store and forward: the cycles of an outage reach a server with a backlog
// after its comeback, exactly once and in order; a stream without one loses
// them as always; a small backlog keeps the latest and says it dropped some.
void backlog_delivers_the_cycles_of_an_outage()
{
    th::TempDir dir;
    Servers srv;
    srv.start(dir.path, {"tcp:kept", "tcp:live", "tcp:small"});
    Rig run;
    start(run, drive_capture(600, always_moving),
          join({{"MOD_GPS_RSOCK1_BACKLOG=300", "MOD_GPS_RSOCK3_BACKLOG=3"},
                streams_to(srv, {"kept", "live", "small"})}));
    ASSERT_TRUE(th::wait_until([&] { return each_got(srv, {"kept", "live", "small"}, 3); }, 20s));
    for (const char* name : {"kept", "live", "small"})
        srv.command(std::string("stop ") + name);
    // An outage of 8 s; with the 10 s between connect attempts the streams
    // stay away for 8 to 18 s.
    std::this_thread::sleep_for(8s);
    for (const char* name : {"kept", "live", "small"})
        srv.command(std::string("start ") + name);
    auto last_cycle = [&](const char* name) {
        const Burst all = parse_burst(0, srv.data(name));
        return all.cycles.empty() ? -1 : all.cycles.back();
    };
    // Caught up: the kept stream is as far as the live one, which is back.
    ASSERT_TRUE(th::wait_until(
        [&] {
            return srv.events("live", "accept").size() >= 2 && bursts(srv, "live").size() >= 6 &&
                   last_cycle("kept") >= last_cycle("live") - 1;
        },
        25s))
        << run.log();
    auto query = [&] { return run.ask("status\n"); };
    const std::string status = query();
    // Away again: the service stops promptly with bursts held (and frees
    // them, which the leak checker of the sanitizer build watches).
    srv.command("stop kept");
    EXPECT_TRUE(th::wait_until([&] { return status_number(query(), 0, "backlog") >= 2; }, 10s));
    stop(run);

    // Kept: every cycle once, in order, whole (TCP may merge the backlog's
    // bursts, so the bytes are read as one stream), none skipped: not at a
    // tick where two cycles completed, not around the reconnect.
    const Burst kept = parse_burst(0, srv.data("kept"));
    EXPECT_TRUE(kept.whole);
    ASSERT_GE(kept.cycles.size(), 12u);
    for (std::size_t i = 1; i < kept.cycles.size(); ++i) {
        EXPECT_GT(kept.cycles[i], kept.cycles[i - 1]) << "repeated or out of order at " << i;
        EXPECT_EQ(kept.cycles[i] - kept.cycles[i - 1], 1) << "cycles lost at " << i;
    }
    // Live: the outage is a hole of at least its length.
    const Burst live = parse_burst(0, srv.data("live"));
    int hole = 0;
    for (std::size_t i = 1; i < live.cycles.size(); ++i)
        hole = std::max(hole, live.cycles[i] - live.cycles[i - 1]);
    EXPECT_GE(hole, 7) << "a stream without a backlog delivered the outage";
    // Small: the latest three were kept, the rest dropped, logged once.
    expect_whole_in_order({parse_burst(0, srv.data("small"))}, "small");
    const std::string log = run.log();
    EXPECT_EQ(th::count_of(log, "gps: warning: rsock_backlog - backlog full, oldest bursts dropped: 1 (127.0.0.1:" +
                                    std::to_string(srv.port("small")) + ")"),
              1)
        << log;
    EXPECT_EQ(th::count_of(log, "rsock_backlog"), 1) << log;
    EXPECT_EQ(status_number(status, 0, "backlog"), 0) << status;
    EXPECT_GT(status_number(status, 2, "backlog_dropped"), 3) << status;
}

}  // namespace

// The three scenarios above wait mostly on the daemon's own timers (reconnects,
// the 30 s stall and tool limits, an outage): they run side by side, each with
// its own servers, root and daemon.
TEST(RsockE2e, NetworkFaultsSlowPeersAndTheBacklogSideBySide)
{
    th::run_side_by_side(
        {{"EveryNetworkFaultEndsInAReconnectAndTheLocalOutputKeepsFlowing", every_network_fault_ends_in_a_reconnect},
         {"FastReceiverTalkingStoppedAndUnknownServersAndTheStatusReport",
          fast_receiver_talking_stopped_and_unknown_servers},
         {"BacklogDeliversTheCyclesOfAnOutageAfterTheComeback", backlog_delivers_the_cycles_of_an_outage}});
}
