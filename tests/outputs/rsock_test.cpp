// SPDX-License-Identifier: BSD-2-Clause
// Remote streams in process: burst framing on a test clock, pacing, faults, shutdown and leaks.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "outputs/burst_queue.h"
#include "outputs/rsock.h"
#include "outputs/sock.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "support/harness.h"
#include "support/inproc.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A loopback socket that can listen, or stay bound without listening so that
// connects to its port are refused. IPv6 (::1) when family is AF_INET6, on
// the given port when one is given; port stays 0 when the bind failed.
struct Endpoint {
    int fd = -1;
    int port = 0;
    Endpoint(int type, bool do_listen, int backlog = 16, int rcvbuf = 0, int family = AF_INET, int want_port = 0)
    {
        fd = socket(family, type | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        SockAddr sa{};
        if (family == AF_INET6) {
            sa.in6.sin6_family = AF_INET6;
            sa.in6.sin6_addr = in6addr_loopback;
            sa.in6.sin6_port = htons(static_cast<uint16_t>(want_port));
        } else {
            sa.in4.sin_family = AF_INET;
            sa.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.in4.sin_port = htons(static_cast<uint16_t>(want_port));
        }
        if (bind(fd, &sa.sa, sizeof sa) != 0)
            return;
        if (do_listen)
            listen(fd, backlog);
        socklen_t len = sizeof sa;
        getsockname(fd, &sa.sa, &len);
        port = ntohs(family == AF_INET6 ? sa.in6.sin6_port : sa.in4.sin_port);
    }
    ~Endpoint()
    {
        if (fd >= 0)
            close(fd);
    }
    // Accepts one connection, or -1 after timeout.
    int accept_one(std::chrono::milliseconds timeout) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

RemoteSocketSettings make_settings(const char* host, int protocol, int port, unsigned period, unsigned halt)
{
    RemoteSocketSettings s{};
    s.enabled = 1;
    s.ipaddr = const_cast<char*>(host);
    s.protocol = static_cast<uint32_t>(protocol);
    s.port = static_cast<uint32_t>(port);
    s.period = period;
    s.period_halt = halt;
    return s;
}

int count_entries(const char* dir)
{
    int n = 0;
    DIR* d = opendir(dir);
    while (struct dirent* e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            ++n;
    if (d)
        closedir(d);
    return n;
}

int fd_count()
{
    return count_entries("/proc/self/fd");
}

int thread_count()
{
    return count_entries("/proc/self/task");
}

// A joined thread may still be listed for a while: under a user-mode
// emulator the host thread ends only after the join has returned. Counts are
// taken once they have held still for half a second.
int settled_thread_count()
{
    int count = thread_count();
    for (int still = 0, rounds = 0; still < 5 && rounds < 100; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int now = thread_count();
        still = now == count ? still + 1 : 0;
        count = now;
    }
    return count;
}

bool threads_settle_to(int expected)
{
    return th::wait_until([&] { return thread_count() == expected; }, std::chrono::seconds(5));
}

// The descriptor of this process connected to the given server port.
int client_fd_for(int server_port)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 && sa.sin_family == AF_INET &&
            ntohs(sa.sin_port) == server_port)
            return fd;
    }
    return -1;
}

int64_t at(long long ms)
{
    return 1700000000LL * 1000 + ms;
}

std::string peek(RemoteSocket* rs, int which, int* moving = nullptr)
{
    std::string buf(kSocketFrameSize, '\0');
    int n = rsock_peek(rs, which, buf.data(), buf.size(), moving);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

// An instance whose worker can never send: its server refuses connections,
// and the worker then pauses 10 s, far longer than any framing case.
struct IdleInstance {
    Endpoint refusing{SOCK_STREAM, false};
    RemoteSocketSettings settings;
    RemoteSocket* rs;
    explicit IdleInstance(unsigned period = 1, unsigned halt = 1)
        : settings(make_settings("127.0.0.1", 0, refusing.port, period, halt)), rs(rsock_open(&settings))
    {
    }
    ~IdleInstance() { rsock_close(rs); }
};

struct Write {
    const char* data;  // nullptr: a tick of the stream
    long long at_ms;
    int moving;
};

struct FramingCase {
    const char* legend;
    std::vector<Write> writes;
    const char* current;
    const char* pending;
    int pending_moving;
    const char* earlier = "";  // held to go at the same tick as pending
    unsigned period = 1;
    unsigned halt = 1;
};

TEST(RsockFraming, GapsDecideJoinCompleteOrDiscard)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    const FramingCase cases[] = {
        {"300 ms after the last write joins", {{"A", 0, 1}, {"B", 300, 1}}, "AB", "", 0},
        {"301 ms completes", {{"A", 0, 1}, {"B", 301, 1}}, "B", "A", 1},
        {"1.999 s still completes", {{"A", 0, 1}, {"B", 1999, 1}}, "B", "A", 1},
        {"exactly 2 s discards the burst", {{"A", 0, 1}, {"B", 2000, 1}}, "B", "", 0},
        {"clock set back joins", {{"A", 5000, 1}, {"B", 0, 1}}, "AB", "", 0},
        {"across a whole second: .9 s to 1.1 s is a 0.2 s gap", {{"A", 900, 1}, {"B", 1100, 1}}, "AB", "", 0},
        {"across a whole second: .9 s to 2.899 s completes", {{"A", 900, 1}, {"B", 2899, 1}}, "B", "A", 1},
        {"across a whole second: .9 s to 2.9 s discards", {{"A", 900, 1}, {"B", 2900, 1}}, "B", "", 0},
        {"the gap counts from the latest append, not the burst start",
         {{"A", 0, 1}, {"B", 250, 1}, {"C", 500, 1}, {"D", 750, 1}},
         "ABCD",
         "",
         0},
        {"two bursts between sends: the later one waits, the one before goes along at one burst a tick",
         {{"A", 0, 1}, {"B", 500, 0}, {"C", 1000, 1}},
         "C",
         "B",
         0,
         "A"},
        {"of three bursts between sends at one a tick, the oldest is dropped",
         {{"A", 0, 1}, {"B", 1000, 1}, {"C", 2000, 1}, {"D", 3000, 1}},
         "D",
         "C",
         1,
         "B"},
        {"period 2 still sends at every tick", {{"A", 0, 1}, {"B", 1000, 1}, {"C", 2000, 1}}, "C", "B", 1, "A", 2},
        {"at a slower pace only the latest waits", {{"A", 0, 1}, {"B", 1000, 1}, {"C", 2000, 1}}, "C", "B", 1, "", 3},
        {"the flag of the waiting burst decides its pace",
         {{"A", 0, 0}, {"B", 1000, 1}, {"C", 2000, 1}},
         "C",
         "B",
         1,
         "",
         1,
         5},
        {"a burst carries the flag of its latest append", {{"A", 0, 1}, {"B", 100, 0}, {"C", 600, 1}}, "C", "AB", 0},
        {"at 10 Hz a burst completes once it has collected for a second",
         {{"A", 0, 1}, {"B", 300, 1}, {"C", 600, 1}, {"D", 900, 1}, {"E", 999, 1}, {"F", 1000, 0}},
         "F",
         "ABCDE",
         1},
        {"the second is counted from the first append of the burst",
         {{"A", 0, 1}, {"B", 500, 1}, {"C", 800, 1}, {"D", 1100, 1}, {"E", 1400, 1}, {"F", 1500, 1}},
         "F",
         "BCDE",
         1,
         "A"},
        {"a stale burst leaves the earlier pending one alone",
         {{"A", 0, 1}, {"B", 500, 1}, {"C", 3000, 1}},
         "C",
         "A",
         1},
        {"a tick 301 ms after the last write completes the burst", {{"A", 0, 0}, {nullptr, 301, 1}}, "", "A", 0},
        {"a tick 300 ms after the last write leaves it open",
         {{"A", 0, 1}, {nullptr, 300, 1}, {"B", 300, 1}},
         "AB",
         "",
         0},
        {"a receiver slower than the stale limit: each burst completes at a tick",
         {{"A", 0, 1}, {nullptr, 800, 1}, {"B", 5000, 1}, {"C", 5100, 1}, {nullptr, 5800, 1}},
         "",
         "BC",
         1,
         "A"},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.legend);
        IdleInstance idle(c.period, c.halt);
        ASSERT_NE(idle.rs, nullptr);
        for (const Write& w : c.writes) {
            if (w.data)
                rsock_write_at(idle.rs, w.data, std::strlen(w.data), w.moving, at(w.at_ms));
            else
                rsock_tick_at(idle.rs, at(w.at_ms));
        }
        int moving = -1;
        EXPECT_EQ(peek(idle.rs, 0), c.current);
        EXPECT_EQ(peek(idle.rs, 1, &moving), c.pending);
        if (c.pending[0]) {
            EXPECT_EQ(moving, c.pending_moving);
        }
        EXPECT_EQ(peek(idle.rs, 2), c.earlier);
    }
}

// The stream clock stands still but for the test's steps; whatever the wall
// clock does meanwhile (time sync steps it) is not seen.
TEST(RsockFraming, GapsAreMeasuredOnTheStreamClock)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    struct Step {
        const char* data;
        long long at_ms;
    };
    const Step steps[] = {
        {"A", 50000}, {"B", 50300}, {"C", 50600}, {"D", 50900}, {"E", 51100}, {"F", 53100},
    };
    clock_test_start(TestClock::kTestAdvances, steps[0].at_ms);
    struct Restore {
        ~Restore() { clock_test_end(); }
    } restore;
    IdleInstance idle;
    ASSERT_NE(idle.rs, nullptr);
    long long now = steps[0].at_ms;
    for (const Step& st : steps) {
        clock_test_advance(st.at_ms - now);
        now = st.at_ms;
        rsock_write(idle.rs, st.data, 1, 1);
    }
    // Joined within 0.3 s, complete at a second's age, E discarded after 2 s
    // of silence: all by the steps of the stream clock, while the writes
    // themselves came within microseconds of wall-clock time.
    EXPECT_EQ(peek(idle.rs, 0), "F");
    EXPECT_EQ(peek(idle.rs, 1), "ABCD");
    EXPECT_EQ(rsock_status(idle.rs).bursts_dropped, 1u);
}

TEST(RsockFraming, FrameHoldsExactly65536BytesAndAFullBurstIsComplete)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    IdleInstance idle;
    ASSERT_NE(idle.rs, nullptr);
    const std::string half(kSocketFrameSize / 2, 'x');
    const int64_t t0 = at(0), t1 = at(100), t2 = at(200), t3 = at(300), t4 = at(900);
    rsock_write_at(idle.rs, half.data(), half.size(), 1, t0);
    rsock_write_at(idle.rs, half.data(), half.size(), 1, t1);
    EXPECT_EQ(peek(idle.rs, 0).size(), kSocketFrameSize);

    // The write that would overflow the burst completes it and starts the next.
    rsock_write_at(idle.rs, "Z", 1, 1, t2);
    EXPECT_EQ(peek(idle.rs, 0), "Z");
    EXPECT_EQ(peek(idle.rs, 1), half + half);
    rsock_write_at(idle.rs, "Y", 1, 1, t3);
    rsock_write_at(idle.rs, "N", 1, 1, t4);
    EXPECT_EQ(peek(idle.rs, 1), "ZY");
    EXPECT_EQ(peek(idle.rs, 2), half + half) << "at one burst a tick the full burst goes along";
    EXPECT_EQ(th::count_of(log.text(), "oops"), 0);

    // One write larger than a frame cannot be held at all.
    const std::string huge(kSocketFrameSize + 1, 'h');
    const int64_t t5 = at(5000);
    rsock_write_at(idle.rs, huge.data(), huge.size(), 1, t5);
    EXPECT_EQ(peek(idle.rs, 0), "");
    EXPECT_EQ(th::count_of(log.text(), "gps: err: rsock_write_exec - oops, buffer is full (127.0.0.1:"), 1)
        << log.text();
    // Discarded as stale: skipped by design rather than lost to the
    // connection.
    const RsockStatus st = rsock_status(idle.rs);
    EXPECT_EQ(st.bursts_dropped, 1u);
    EXPECT_EQ(st.bursts_skipped, 1u);
    EXPECT_EQ(st.bursts_lost, 0u);
}

TEST(RsockOpen, IncompleteOrDisabledRecordsOpenNothing)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    struct Case {
        const char* legend;
        RemoteSocketSettings settings;
    };
    const Case cases[] = {
        {"disabled", {0, const_cast<char*>("127.0.0.1"), 0, 9, 1, 1}},
        {"no address", {1, const_cast<char*>(""), 0, 9, 1, 1}},
        {"period 0", {1, const_cast<char*>("127.0.0.1"), 0, 9, 0, 1}},
        {"period_halt 0", {1, const_cast<char*>("127.0.0.1"), 1, 9, 1, 0}},
    };
    th::StderrCapture log;
    const int threads = settled_thread_count();
    const int fds = fd_count();
    EXPECT_EQ(rsock_open(nullptr), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        RemoteSocket* rs = rsock_open(&c.settings);
        EXPECT_EQ(rs, nullptr);
        rsock_write(rs, "$GPGGA\r\n", 8, 1);
        rsock_close(rs);
    }
    EXPECT_TRUE(threads_settle_to(threads)) << thread_count() << " threads, " << threads << " before";
    EXPECT_EQ(fd_count(), fds);
    EXPECT_EQ(log.text(), "");
}

TEST(RsockTcp, KeepaliveFollowsThePeriodHalt)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    struct Case {
        unsigned halt;
        int idle;
    };
    // The settings take a period beyond a day as a day; the idle time stops
    // at the kernel's limit.
    for (const Case c :
         {Case{1, 10}, Case{4, 10}, Case{5, 10}, Case{6, 12}, Case{30, 60}, Case{16384, 32767}, Case{86400, 32767}}) {
        SCOPED_TRACE("period_halt " + std::to_string(c.halt));
        Endpoint server(SOCK_STREAM, true);
        RemoteSocketSettings s = make_settings("127.0.0.1", 2, server.port, 1, c.halt);
        RemoteSocket* rs = rsock_open(&s);
        ASSERT_NE(rs, nullptr);
        int conn = server.accept_one(10s);
        ASSERT_GE(conn, 0);
        int fd = -1;
        int idle = 0, interval = 0, count = 0, on = 0;
        // The worker sets the options just after the connect returns.
        ASSERT_TRUE(th::wait_until(
            [&] {
                fd = client_fd_for(server.port);
                socklen_t len = sizeof idle;
                return fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &len) == 0 && count == 2;
            },
            5s));
        socklen_t len = sizeof idle;
        getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
        getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
        getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len);
        EXPECT_EQ(on, 1);
        EXPECT_EQ(idle, c.idle);
        EXPECT_EQ(interval, 5);
        EXPECT_LE(rsock_status(rs).period_halt, 86400u);
        rsock_close(rs);
        close(conn);
    }
}

// Records what a server connection receives, with arrival times on the
// service clock (the test clock's reading when one runs).
struct Recorder {
    struct Chunk {
        long long at_ms;
        std::string bytes;
    };
    int fd;
    std::atomic<bool> stop{false};
    std::atomic<bool> paused{false};  // a server that stops reading for a while
    std::mutex m;
    std::vector<Chunk> chunks;
    std::thread t;
    explicit Recorder(int conn) : fd(conn)
    {
        t = std::thread([this] {
            char buf[70000];
            while (!stop) {
                if (paused) {
                    std::this_thread::sleep_for(20ms);
                    continue;
                }
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> g(m);
                chunks.push_back({monotonic_ms(), std::string(buf, static_cast<std::size_t>(n))});
            }
        });
    }
    ~Recorder()
    {
        stop = true;
        t.join();
        close(fd);
    }
    std::string all()
    {
        std::lock_guard<std::mutex> g(m);
        std::string s;
        for (auto& c : chunks)
            s += c.bytes;
        return s;
    }
    uint64_t size()
    {
        std::lock_guard<std::mutex> g(m);
        uint64_t n = 0;
        for (auto& c : chunks)
            n += c.bytes.size();
        return n;
    }
};

bool connected(RemoteSocket* rs)
{
    return th::wait_until([&] { return std::strcmp(rsock_status(rs).state, "connected") == 0; }, 10s);
}

// At a tick of the stream on the test clock: waits (in real time) for the
// worker to send or keep what falls due at this tick and, where a server
// reads (rec), for it to have taken all that was sent, so that the arrivals
// carry the tick's reading. A tick that sends and keeps nothing costs the
// whole of idle. A worker left behind by more than a tick would start its
// count afresh. earlier: bytes the server took on connections before rec's.
void let_tick_send(RemoteSocket* rs, Recorder* rec, std::chrono::milliseconds idle, uint64_t earlier = 0)
{
    const RsockStatus before = rsock_status(rs);
    th::settle(
        [&] {
            const RsockStatus now = rsock_status(rs);
            return now.bytes_sent != before.bytes_sent || now.backlog != before.backlog;
        },
        idle);
    if (rec)
        th::wait_until([&] { return earlier + rec->size() == rsock_status(rs).bytes_sent; }, 5s);
}

// Bursts of three sentences each, numbered; written from their own thread the
// way the main loop writes one receiver cycle.
std::string burst_text(int n, std::size_t pad = 0)
{
    std::string s;
    for (int i = 0; i < 3; ++i)
        s += "$GPTST," + std::to_string(n) + "," + std::to_string(i) + "," + std::string(pad, 'p') + "*00\r\n";
    return s;
}

void write_burst(RemoteSocket* rs, int n, int moving, std::size_t pad = 0)
{
    for (int i = 0; i < 3; ++i) {
        std::string line = "$GPTST," + std::to_string(n) + "," + std::to_string(i) + "," + std::string(pad, 'p') +
                           "*00\r\n";
        rsock_write(rs, line.data(), line.size(), moving);
    }
}

// Splits received bytes into the burst numbers they carry; -1 marks a torn burst.
std::vector<int> bursts_in(const std::string& text, std::size_t pad = 0)
{
    std::vector<int> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t comma = text.find(',', pos + 7);
        if (text.compare(pos, 7, "$GPTST,") != 0 || comma == std::string::npos)
            return out.push_back(-1), out;
        int n = std::atoi(text.c_str() + pos + 7);
        std::string b = burst_text(n, pad);
        if (text.compare(pos, b.size(), b) != 0)
            return out.push_back(-1), out;
        out.push_back(n);
        pos += b.size();
    }
    return out;
}

TEST(RsockTcp, BurstsArriveWholeInOrderAtTheMovingAndHaltedPace)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::TestClockRun clock;
    // period 2 while moving, 4 while halted.
    Endpoint server(SOCK_STREAM, true);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 2, 4);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    Recorder rec(server.accept_one(10s));
    // The ticks count from the connection, made before the clock first moves.
    ASSERT_TRUE(connected(rs));
    const long long start = monotonic_ms();
    int written = 0;
    int moving = 1;
    int last_moving = 0;  // the last burst written while moving
    // A burst every 0.4 s of the clock, as the main loop writes receiver
    // cycles. The clock moves in steps of 0.1 s; at each tick the worker is
    // given real time to send. A tick where the pace (by the flag of the
    // latest burst sent) makes nothing due is given little.
    int countdown = 1;
    auto run_until = [&](std::size_t count) {
        for (int step = 0; step < 300 && bursts_in(rec.all()).size() < count; ++step) {
            const long long t = monotonic_ms() - start;
            if (t % 400 == 0) {
                write_burst(rs, ++written, moving);
                last_moving = moving ? written : last_moving;
            }
            clock_test_advance(100);
            if ((t + 100) % 1000 != 0)
                continue;
            const bool due = --countdown <= 0;
            const uint64_t before = rec.size();
            let_tick_send(rs, &rec, due ? 2000ms : 20ms);
            if (rec.size() != before) {
                const std::vector<int> got = bursts_in(rec.all());
                countdown = (got.back() <= last_moving ? 2 : 4) - 1;
            }
        }
        return bursts_in(rec.all()).size() >= count;
    };
    ASSERT_TRUE(run_until(4));
    moving = 0;
    const std::size_t moving_count = bursts_in(rec.all()).size();
    ASSERT_TRUE(run_until(moving_count + 4));
    rsock_close(rs);

    std::vector<int> got = bursts_in(rec.all());
    ASSERT_FALSE(got.empty());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_NE(got[i], -1) << "torn burst after " << i;
        if (i > 0) {
            EXPECT_GT(got[i], got[i - 1]) << "bursts out of order";
        }
    }
    // Each send is one chunk on loopback; the gap between sends is at least
    // period - 1 ticks of a second (2 s halted: the flag of the burst sent).
    std::vector<std::pair<long long, int>> sends;
    {
        std::lock_guard<std::mutex> g(rec.m);
        for (auto& c : rec.chunks)
            sends.push_back({c.at_ms, bursts_in(c.bytes).empty() ? -1 : bursts_in(c.bytes)[0]});
    }
    // Where every burst is due (period 2 while moving), two bursts that
    // completed within one tick both go at that tick: a short gap then
    // follows a full one, never another short one.
    int long_gaps = 0;
    bool last_short = false;
    for (std::size_t i = 1; i < sends.size(); ++i) {
        const long long gap = sends[i].first - sends[i - 1].first;
        const bool pair_allowed = sends[i - 1].second >= 0 && sends[i - 1].second <= last_moving;
        if (gap < 900 && pair_allowed && !last_short) {
            last_short = true;
            continue;
        }
        last_short = false;
        EXPECT_GE(gap, 900) << "two sends within one tick";
        if (gap >= 2900)
            ++long_gaps;
    }
    EXPECT_GE(long_gaps, 2) << "the halted pace (every third tick) never showed";
}

TEST(RsockUdp, DatagramPerBurstAndNoBurstOutgrowsADatagram)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    th::TestClockRun clock;
    Endpoint server(SOCK_DGRAM, false);
    RemoteSocketSettings s = make_settings("127.0.0.1", 1, server.port, 1, 1);
    s.backlog = 5;
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(th::count_of(log.text(), "gps: notice: rsock_open - backlog ignored on a UDP stream (127.0.0.1:" +
                                           std::to_string(server.port) + ")"),
              1)
        << log.text();
    ASSERT_TRUE(connected(rs));
    auto recv_dgram = [&](std::chrono::milliseconds timeout) {
        pollfd p{server.fd, POLLIN, 0};
        std::string buf(70000, '\0');
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::string();
        ssize_t n = recv(server.fd, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    };
    // The next datagram, the clock moving in steps of 0.1 s meanwhile.
    auto next_dgram = [&] {
        std::string got;
        for (int step = 0; step < 50 && got.empty(); ++step) {
            clock_test_advance(100);
            got = recv_dgram(20ms);
        }
        return got;
    };
    write_burst(rs, 1, 1);
    clock_test_advance(400);
    write_burst(rs, 2, 1);  // completes burst 1
    EXPECT_EQ(next_dgram(), burst_text(1));

    // 65523 bytes fit a frame but not a datagram (65507 at most): the burst
    // completes before it outgrows one, and nothing fails or reconnects.
    clock_test_advance(400);
    write_burst(rs, 3, 1, 21825);
    clock_test_advance(400);
    write_burst(rs, 4, 1);
    clock_test_advance(400);
    write_burst(rs, 5, 1);  // completes burst 4
    std::size_t largest = 0;
    std::string next;
    for (int n = 0; n < 10 && next != burst_text(4); ++n) {
        next = next_dgram();
        largest = std::max(largest, next.size());
    }
    EXPECT_EQ(next, burst_text(4));
    EXPECT_LE(largest, 65507u);
    EXPECT_EQ(log.text().find("Message too long"), std::string::npos) << log.text();

    // The last burst before the receiver pauses goes at a tick, and so does
    // each burst of a receiver that sends a cycle every 5 seconds.
    EXPECT_EQ(next_dgram(), burst_text(5));
    for (int n = 6; n <= 7; ++n) {
        clock_test_advance(5000);
        write_burst(rs, n, 1);
        EXPECT_EQ(next_dgram(), burst_text(n));
    }
    EXPECT_EQ(rsock_status(rs).reconnects, 0u);
    rsock_close(rs);
}

// A server whose port is closed refuses the datagrams: the failure is logged
// when it begins, and its count once the datagrams go again.
TEST(RsockUdp, RefusedDatagramsAreLoggedOncePerReasonWithACount)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    th::TestClockRun clock;
    const int port = Endpoint(SOCK_DGRAM, false).port;  // closed again at once
    RemoteSocketSettings s = make_settings("127.0.0.1", 1, port, 1, 1);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_TRUE(rs && connected(rs));
    // One burst a second; each tick either sends it or loses it.
    const auto seconds = [&](int from, int to) {
        for (int n = from; n <= to; ++n) {
            write_burst(rs, n, 1);
            const RsockStatus was = rsock_status(rs);
            const auto handled = [&] {
                const RsockStatus now = rsock_status(rs);
                return now.bursts_sent + now.bursts_lost > was.bursts_sent + was.bursts_lost;
            };
            for (int step = 0; step < 5 && !th::wait_until(handled, 30ms, 5ms); ++step)
                clock_test_advance(250);
            EXPECT_TRUE(th::wait_until(handled, 5s)) << "burst " << n;
        }
    };
    seconds(1, 12);
    const uint64_t lost = rsock_status(rs).bursts_lost;
    EXPECT_GE(lost, 5u);
    const std::string refused = "rsock_udp_send_exec - socket send error: Connection refused";
    const std::string server = " (127.0.0.1:" + std::to_string(port) + ")";
    EXPECT_EQ(th::count_of(log.text(), "gps: err: " + refused + server), 1) << log.text();
    Endpoint back(SOCK_DGRAM, false, 16, 0, AF_INET, port);
    seconds(13, 16);
    EXPECT_EQ(rsock_status(rs).bursts_lost, lost);
    const std::string run = ", " + std::to_string(lost) + " times in a row";
    EXPECT_EQ(th::count_of(log.text(), "gps: notice: " + refused + run + server), 1) << log.text();
    rsock_close(rs);
}

TEST(RsockTcp, ResetPeerIsASendErrorNotASignal)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    th::TestClockRun clock;
    Endpoint server(SOCK_STREAM, true);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 1, 1);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    int conn = server.accept_one(10s);
    ASSERT_GE(conn, 0);
    // Reset only once the worker has finished its connect (keepalive set).
    ASSERT_TRUE(th::wait_until(
        [&] {
            int fd = client_fd_for(server.port), count = 0;
            socklen_t len = sizeof count;
            return fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &len) == 0 && count == 2;
        },
        5s));
    // Shut the read side so the worker sees nothing, then reset: the worker
    // learns of it only when it sends.
    linger l{1, 0};
    setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(conn);
    // The reset shows either in the read (recv error) or in a send; either
    // way the worker reconnects and the process lives on. A burst every 0.4 s
    // of the clock, which moves in steps of 0.1 s.
    int again = -1;
    for (int step = 0; step < 150 && again < 0; ++step) {
        if (step % 4 == 0)
            write_burst(rs, step / 4 + 1, 1);
        clock_test_advance(100);
        again = server.accept_one(20ms);
    }
    EXPECT_GE(again, 0);
    rsock_close(rs);
    if (again >= 0)
        close(again);
    const std::string text = log.text();
    EXPECT_TRUE(text.find("rsock_tcp_socket_exec - socket recv error: Connection reset by peer") != std::string::npos ||
                text.find("rsock_tcp_send_exec - socket send error:") != std::string::npos)
        << text;
}

TEST(RsockTcp, StalledServerNeverHoldsUpTheWriter)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::TestClockRun clock;
    Endpoint server(SOCK_STREAM, true, 16, 4096);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 1, 1);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    int conn = server.accept_one(10s);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(connected(rs));
    // A fixed small send buffer (no autotuning) so the worker's send is held
    // up after a burst or two; set once the worker has its connection.
    int cfd = -1;
    ASSERT_TRUE(th::wait_until([&] { return (cfd = client_fd_for(server.port)) >= 0; }, 5s));
    const int small = 4096;
    setsockopt(cfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // Bursts of about 60 KiB, one every 0.35 s of the clock, fill the
    // stalled path within a few sends.
    const long long start = monotonic_ms();
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int n = 1; n <= 40; ++n) {
            while (clock_test_running() && monotonic_ms() < start + 350 * n)
                std::this_thread::sleep_for(1ms);
            write_burst(rs, n, 1, 20000);
            written = n;
        }
    });
    auto queued = [&] {
        int n = 0;
        ioctl(cfd, TIOCOUTQ, &n);
        return n;
    };
    // The clock moves in steps of 50 ms; the writer gets through the bursts
    // due by each step at once, and at each tick the worker is given real
    // time to send. The worker is stuck in a send: its queue stands still
    // from one tick to the next although bursts keep coming.
    bool stood_still = false;
    int last_queued = -1;
    for (long long t = 50; t <= 350 * 40; t += 50) {
        clock_test_advance(50);
        EXPECT_TRUE(th::settle([&] { return written >= t / 350; }, 10s)) << "the writer was held up at " << t;
        if (t % 1000 != 0)
            continue;
        let_tick_send(rs, nullptr, 50ms);
        const int now = queued();
        stood_still = stood_still || (now > 0 && now == last_queued && written < 40);
        last_queued = now;
    }
    EXPECT_TRUE(stood_still) << "the server never held up the sender";
    EXPECT_EQ(written, 40);
    writer.join();
    // The stalled sender is stopped at once.
    auto t0 = Clock::now();
    rsock_close(rs);
    EXPECT_LT(Clock::now() - t0, 2s);
    close(conn);
}

// rsock_close reaches the worker in every wait it can be in.
TEST(RsockClose, ReturnsPromptlyFromEveryWait)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    Endpoint refusing(SOCK_STREAM, false);
    // A listener whose queue is full drops further connection requests: a
    // connect to it hangs as to an address that drops packets.
    Endpoint full(SOCK_STREAM, true, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(full.port));
        connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        fillers.push_back(c);
    }
    Endpoint listening(SOCK_STREAM, true);
    Endpoint udp(SOCK_DGRAM, false);
    struct Case {
        const char* legend;
        RemoteSocketSettings settings;
        std::chrono::milliseconds settle;
    };
    const Case cases[] = {
        {"pause after a refused connect", make_settings("127.0.0.1", 0, refusing.port, 1, 1), 300ms},
        {"connect that gets no answer", make_settings("127.0.0.1", 0, full.port, 1, 1), 500ms},
        {"tick wait on a connection", make_settings("127.0.0.1", 0, listening.port, 1, 1), 300ms},
        {"UDP tick", make_settings("127.0.0.1", 1, udp.port, 1, 1), 300ms},
        {"just started", make_settings("127.0.0.1", 0, listening.port, 1, 1), 0ms},
    };
    // Sanitizer runtimes start a helper thread with the first thread made.
    std::thread([] {}).join();
    const int fds = fd_count();
    const int threads = settled_thread_count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        RemoteSocket* rs = rsock_open(&c.settings);
        ASSERT_NE(rs, nullptr);
        std::this_thread::sleep_for(c.settle);
        auto t0 = Clock::now();
        rsock_close(rs);
        EXPECT_LT(Clock::now() - t0, 1s);
        // Connections the listener queued are the test's, not the instance's.
        for (int conn; (conn = listening.accept_one(0ms)) >= 0;)
            close(conn);
    }
    EXPECT_EQ(fd_count(), fds);
    EXPECT_TRUE(threads_settle_to(threads)) << thread_count() << " threads, " << threads << " before";
    for (int c : fillers)
        close(c);
}

// Waits for a child that ran a case on its own (in a namespace of its own,
// say): its exit code, or -1 when it did not exit. 77 means "skip".
int child_exit_code(pid_t pid)
{
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(RsockClose, ReturnsPromptlyFromASlowLookup)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    // A private mount namespace in a child process points the resolver at a
    // loopback name server that never answers.
    th::TempDir dir;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto fail = [](int code) { _exit(code); };
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail(77);
        int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        inet_pton(AF_INET, "127.53.0.1", &sa.sin_addr);
        if (bind(dns, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            fail(77);
        const std::string conf = dir.path + "/resolv.conf";
        th::write_file(conf, "nameserver 127.53.0.1\noptions timeout:2 attempts:1\n");
        if (mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            fail(77);
        const int fds = fd_count();
        RemoteSocketSettings s = make_settings("gnss-fleet.example", 0, 9, 1, 1);
        RemoteSocket* rs = rsock_open(&s);
        if (!rs)
            fail(3);
        // Wait until the query is out, so the lookup is surely under way.
        pollfd p{dns, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            fail(4);
        auto t0 = Clock::now();
        rsock_close(rs);
        if (Clock::now() - t0 >= 1s)
            fail(5);
        // The abandoned lookup holds its descriptors until it gives up; its
        // own wake-up descriptor is released then too.
        if (!th::wait_until([&] { return fd_count() == fds; }, 40s))
            fail(6);
        _exit(0);
    }
    const int code = child_exit_code(pid);
    if (code == 77)
        GTEST_SKIP() << "needs a private mount namespace (root) to stand in a silent name server";
    EXPECT_EQ(code, 0) << "3 open failed, 4 no query, 5 close slow, 6 descriptor leaked";
}

TEST(RsockTcp, TwoHundredReconnectsLeaveNoDescriptorOrThread)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    // A server that closes every connection as soon as it has accepted it;
    // each instance then reconnects about once a second of the test clock,
    // which the wait below moves on.
    clock_test_start(TestClock::kTestAdvances);
    struct Restore {
        ~Restore() { clock_test_end(); }
    } restore;
    Endpoint server(SOCK_STREAM, true, 64);
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    std::thread acceptor([&] {
        while (!done) {
            int c = server.accept_one(50ms);
            if (c >= 0) {
                close(c);
                ++accepted;
            }
        }
    });
    const int fds = fd_count();
    const int threads = settled_thread_count() - 1;  // without the acceptor
    constexpr int kInstances = 20;
    std::vector<RemoteSocketSettings> settings(kInstances, make_settings("127.0.0.1", 0, server.port, 1, 1));
    std::vector<RemoteSocket*> sockets;
    for (auto& s : settings)
        sockets.push_back(rsock_open(&s));
    EXPECT_TRUE(th::wait_until(
        [&] {
            clock_test_advance(200);
            return accepted >= 200 + kInstances;
        },
        60s))
        << accepted;
    // Each instance holds at most its socket and its stop descriptor.
    EXPECT_LE(fd_count(), fds + 2 * kInstances);
    EXPECT_EQ(thread_count(), threads + 1 + kInstances);
    for (RemoteSocket* rs : sockets)
        rsock_close(rs);
    done = true;
    acceptor.join();
    EXPECT_EQ(fd_count(), fds);
    EXPECT_TRUE(threads_settle_to(threads)) << thread_count() << " threads, " << threads << " before";
}

TEST(SockSendText, WholeTextToSocketsAndPipesAndNothingToAClientThatLeft)
{
    // Larger than a socket pair's buffer: the send must go on after a short one.
    const std::string big(300000, 'x');
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::string got;
    std::thread reader([&] {
        char buf[8192];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof buf)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
    });
    sock_send_text(sv[0], big.data(), big.size());
    close(sv[0]);
    reader.join();
    close(sv[1]);
    EXPECT_EQ(got.size(), big.size());

    // A command handler may be handed a pipe rather than a client socket.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    sock_send_text(p[1], "reply\n", 6);
    close(p[1]);
    char buf[16] = {};
    EXPECT_EQ(read(p[0], buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "reply\n");
    close(p[0]);

    // A client gone before its answer: the default SIGPIPE would end this program.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    close(sv[1]);
    sock_send_text(sv[0], "late\n", 5);
    close(sv[0]);
}

TEST(SockUnixListen, ReplacesAStaleFileAndRefusesPathsItCannotBind)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    const std::string root = th::process_root();
    struct Case {
        const char* legend;
        std::string path;
        bool ok;
        const char* message;
    };
    // A socket left by an earlier run, and a plain file that is not ours.
    {
        int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s/run/stale.socket", root.c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        close(stale);
    }
    th::write_file(root + "/run/plain.file", "stray");
    std::filesystem::create_directories(root + "/run/a.dir");
    const Case cases[] = {
        {"a socket left at the path is replaced", "/run/stale.socket", true, ""},
        {"so is a plain file", "/run/plain.file", true, ""},
        {"a directory is left alone and named", "/run/a.dir", false,
         "gps: err: cannot replace /run/a.dir: Is a directory\ngps: err: bind socket error: Address already in use"},
        {"missing directory", "/run/no-such-dir/gps.socket", false,
         "gps: err: bind socket error: No such file or directory"},
        {"longer than a socket address holds", "/run/" + std::string(120, 'x'), false,
         "gps: err: bind socket error: File name too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        th::StderrCapture log;
        int fd = sock_unix_listen(c.path.c_str());
        EXPECT_EQ(fd >= 0, c.ok);
        if (fd >= 0) {
            // A client reaches it under the root.
            int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s%s", root.c_str(), c.path.c_str());
            EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
            close(client);
            sock_close(fd);
        }
        EXPECT_NE(log.text().find(c.message), std::string::npos) << log.text();
        if (c.ok) {
            EXPECT_EQ(log.text(), "");
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(root + "/run/a.dir"));
}

// The backlog: oldest first, bounded by dropping the oldest, and a burst
// leaves it only once a send took all of it.
// Address literals of both families, with the text the log and the status
// report show for them; the unspecified addresses give nothing to connect to.
TEST(SockLookup, LiteralsOfBothFamiliesAndTheirText)
{
    struct Case {
        const char* name;
        int result;
        const char* text;  // of the one address; nullptr: none
    };
    const Case cases[] = {
        {"127.0.0.1", 0, "127.0.0.1:4464"},
        {"::1", 0, "[::1]:4464"},
        {"2001:db8::5", 0, "[2001:db8::5]:4464"},
        {"[2001:db8::5]", 0, "[2001:db8::5]:4464"},
        {"::ffff:192.0.2.1", 0, "[::ffff:192.0.2.1]:4464"},
        {"0.0.0.0", 0, nullptr},
        {"::", 0, nullptr},
        {"[::]", 0, nullptr},
        {"[127.0.0.1]", -1, nullptr},
        {"2001:db8::5]", -1, nullptr},
        {"[]", -1, nullptr},
        {"2001:db8::5:4000:1:2:3:4", -1, nullptr},
        {"fleet.example", -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SockAddrList list;
        list.count = 7;
        // 70000: only the low 16 bits are a port.
        EXPECT_EQ(sock_lookup_numeric(c.name, 70000, SOCK_DGRAM, &list), c.result);
        ASSERT_EQ(list.count, c.text ? 1 : 0);
        EXPECT_EQ(sock_is_ipv6_literal(c.name), c.result == 0 && std::strchr(c.name, ':') != nullptr);
        if (c.text) {
            char text[kSockAddrText];
            EXPECT_STREQ(sock_addr_text(&list.addr[0], text, sizeof text), c.text);
        }
    }
}

// The wait a connect is handed: records the time allowed, and lets the
// connect run no longer than 2 s in the test.
int recording_wait(void* ctx, int sock, int timeout_ms)
{
    static_cast<std::vector<int>*>(ctx)->push_back(timeout_ms);
    pollfd p{sock, POLLOUT, 0};
    const int r = poll(&p, 1, timeout_ms < 0 || timeout_ms > 2000 ? 2000 : timeout_ms);
    if (r == 0)
        errno = ETIMEDOUT;
    return r > 0 ? 1 : -1;
}

// A server's addresses are tried in order: one the system refuses (a
// link-local address without its interface) and one that refuses the
// connection lead on to the next; only the last may take all the time there
// is.
TEST(SockConnect, TriesTheAddressesInOrderUntilOneTakes)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    Endpoint listening(SOCK_STREAM, true, 16, 0, AF_INET6);
    if (listening.port == 0)
        GTEST_SKIP() << "no IPv6 loopback address";
    Endpoint refusing(SOCK_STREAM, false);
    Endpoint udp(SOCK_DGRAM, false, 16, 0, AF_INET6);
    auto list_of = [](std::vector<std::pair<const char*, int>> addrs) {
        SockAddrList list{};
        for (auto& [name, port] : addrs) {
            SockAddrList one;
            EXPECT_EQ(sock_lookup_numeric(name, static_cast<unsigned>(port), SOCK_STREAM, &one), 0) << name;
            list.addr[list.count++] = one.addr[0];
        }
        return list;
    };
    const SockAddrList tcp = list_of(
        {{"fe80::1", listening.port}, {"127.0.0.1", refusing.port}, {"::1", listening.port}});
    std::vector<int> timeouts;
    char error[128] = "";
    int used = -1;
    int sock = sock_tcp_connect_with(&tcp, recording_wait, &timeouts, "fleet:1", error, sizeof error, &used);
    ASSERT_GE(sock, 0) << log.text();
    EXPECT_EQ(used, 2);
    SockAddr peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(sock, &peer.sa, &len), 0);
    EXPECT_EQ(peer.sa.sa_family, AF_INET6);
    close(sock);
    // The refused connect is the one that waited; it had a limit, the last
    // address none.
    ASSERT_GE(timeouts.size(), 2u);
    EXPECT_GT(timeouts.front(), 0);
    EXPECT_EQ(timeouts.back(), -1);
    EXPECT_STREQ(error, "connect socket error: Connection refused");
    EXPECT_EQ(th::count_of(log.text(), "gps: err: connect socket error: Invalid argument (fleet:1)"), 1) << log.text();
    EXPECT_EQ(th::count_of(log.text(), "gps: err: connect socket error: Connection refused (fleet:1)"), 1)
        << log.text();

    const SockAddrList dgram = list_of({{"fe80::1", udp.port}, {"::1", udp.port}});
    used = -1;
    sock = sock_udp_connect_nonblock(&dgram, "fleet:2", error, sizeof error, &used);
    ASSERT_GE(sock, 0) << log.text();
    EXPECT_EQ(used, 1);
    EXPECT_EQ(send(sock, "$GPTST*00\r\n", 11, 0), 11);
    char buf[32];
    EXPECT_EQ(recv(udp.fd, buf, sizeof buf, 0), 11);
    close(sock);

    // No address at all: nothing is tried.
    const SockAddrList none{};
    timeouts.clear();
    EXPECT_EQ(sock_tcp_connect_with(&none, recording_wait, &timeouts, "fleet:3", error, sizeof error, &used), -1);
    EXPECT_EQ(sock_udp_connect_nonblock(&none, "fleet:3", error, sizeof error, &used), -1);
    EXPECT_TRUE(timeouts.empty());
}

bool connected_via(RemoteSocket* rs, const std::string& address)
{
    return th::wait_until(
        [&] {
            const RsockStatus st = rsock_status(rs);
            return std::strcmp(st.state, "connected") == 0 && st.address == address;
        },
        10s);
}

// Streams to IPv6 literals (TCP bare, UDP in brackets) and to a name: each
// reports the address in use; only the name's is logged, once, however often
// the stream reconnects to it.
TEST(RsockTcp, Ipv6LiteralsAndANameReportTheAddressInUse)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    th::TestClockRun clock;
    Endpoint tcp6(SOCK_STREAM, true, 16, 0, AF_INET6);
    Endpoint udp6(SOCK_DGRAM, false, 16, 0, AF_INET6);
    if (tcp6.port == 0 || udp6.port == 0)
        GTEST_SKIP() << "no IPv6 loopback address";
    RemoteSocketSettings s6 = make_settings("::1", 0, tcp6.port, 1, 1);
    RemoteSocketSettings u6 = make_settings("[::1]", 1, udp6.port, 1, 1);
    RemoteSocket* rs6 = rsock_open(&s6);
    RemoteSocket* ru6 = rsock_open(&u6);
    const std::string t6 = "[::1]:" + std::to_string(tcp6.port), d6 = "[::1]:" + std::to_string(udp6.port);
    // Moves the clock in steps of 0.1 s until pred holds, giving the workers
    // a moment at each step.
    auto advance_until = [](const std::function<bool()>& pred) {
        for (int step = 0; step < 100; ++step) {
            if (th::settle(pred, 20ms))
                return true;
            clock_test_advance(100);
        }
        return pred();
    };
    {
        Recorder rec(tcp6.accept_one(10s));
        EXPECT_TRUE(connected_via(rs6, t6));
        EXPECT_TRUE(connected_via(ru6, d6));
        write_burst(rs6, 1, 1);
        write_burst(ru6, 1, 1);
        clock_test_advance(400);
        write_burst(rs6, 2, 1);  // completes burst 1
        write_burst(ru6, 2, 1);
        pollfd p{udp6.fd, POLLIN, 0};
        EXPECT_TRUE(advance_until([&] { return rec.all().rfind(burst_text(1), 0) == 0 && poll(&p, 1, 0) == 1; }))
            << rec.all();
        char buf[512];
        EXPECT_EQ(recv(udp6.fd, buf, sizeof buf, MSG_DONTWAIT), static_cast<ssize_t>(burst_text(1).size()));
    }
    // The server went away: no address is in use until the next connection.
    EXPECT_TRUE(th::wait_until([&] { return rsock_status(rs6).address[0] == '\0'; }, 5s));
    rsock_close(rs6);
    rsock_close(ru6);

    Endpoint server(SOCK_STREAM, true);
    RemoteSocketSettings named = make_settings("localhost", 0, server.port, 1, 1);
    RemoteSocket* rs = rsock_open(&named);
    close(server.accept_one(10s));  // the stream comes back a second later
    int again = -1;
    EXPECT_TRUE(advance_until([&] { return (again = server.accept_one(0ms)) >= 0; }));
    const std::string v4 = "127.0.0.1:" + std::to_string(server.port);
    EXPECT_TRUE(connected_via(rs, v4));
    rsock_close(rs);
    close(again);
    const std::string text = log.text();
    EXPECT_EQ(th::count_of(text, "gps: info: rsock_tcp_connect - connected to " + v4 +
                                     " (localhost:" + std::to_string(server.port) + ")"),
              1)
        << text;
    EXPECT_EQ(th::count_of(text, "connected to [::1]"), 0) << text;
    // An IPv6 literal takes brackets in the stream's name.
    EXPECT_EQ(text.find("(::1:"), std::string::npos) << text;
}

// A name with addresses of both families (a private mount namespace stands in
// a hosts file): the lookup gives both, and the stream connects through the
// one where the server listens, whichever comes first.
TEST(RsockTcp, ANameOfBothFamiliesReachesTheServerOnEither)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    Endpoint server(SOCK_STREAM, true);
    // The same port on ::1 refuses.
    Endpoint refusing(SOCK_STREAM, false, 16, 0, AF_INET6, server.port);
    if (refusing.port == 0)
        GTEST_SKIP() << "no IPv6 loopback address";
    th::TempDir dir;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(77);
        const std::string hosts = dir.path + "/hosts";
        th::write_file(hosts, "::1 gnss-dual.test\n127.0.0.1 gnss-dual.test\n");
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        SockAddrList list;
        if (sock_lookup("gnss-dual.test", 9, SOCK_STREAM, &list) != 0 || list.count != 2 ||
            list.addr[0].sa.sa_family == list.addr[1].sa.sa_family)
            _exit(3);
        RemoteSocketSettings s = make_settings("gnss-dual.test", 0, server.port, 1, 1);
        RemoteSocket* rs = rsock_open(&s);
        const int conn = server.accept_one(10s);
        if (conn < 0 || !connected_via(rs, "127.0.0.1:" + std::to_string(server.port)))
            _exit(4);
        rsock_close(rs);
        close(conn);
        _exit(0);
    }
    const int code = child_exit_code(pid);
    if (code == 77)
        GTEST_SKIP() << "needs a private mount namespace (root) to stand in a hosts file";
    EXPECT_EQ(code, 0) << "3 lookup not of both families, 4 no connection through IPv4";
}

TEST(RsockBacklog, QueueKeepsOrderAndBoundAndABurstWhoseSendFailed)
{
    struct Sender {
        std::vector<std::string> calls;
        int fail_at = -1;  // call number that fails (takes part of the burst)
    } sender;
    auto send = [](void* ctx, const char* data, std::size_t length) {
        Sender* s = static_cast<Sender*>(ctx);
        const bool fail = static_cast<int>(s->calls.size()) == s->fail_at;
        s->calls.emplace_back(data, fail ? length / 2 : length);
        return fail ? -1 : 0;
    };
    BurstQueue q{};
    EXPECT_FALSE(burst_queue_push(&q, "x", 1)) << "no capacity, nothing kept";
    q.capacity = 3;
    for (const char* b : {"b1", "b2", "b3", "b4"})
        EXPECT_TRUE(burst_queue_push(&q, b, std::strlen(b)));
    EXPECT_EQ(q.count, 3u);
    EXPECT_EQ(q.dropped, 1u) << "the oldest gave way";

    bool failed = false;
    sender.fail_at = 1;
    EXPECT_EQ(burst_queue_drain(&q, 20, send, &sender, &failed), 1);
    EXPECT_TRUE(failed);
    EXPECT_EQ(q.count, 2u) << "the burst whose send failed stays";
    EXPECT_EQ(burst_queue_drain(&q, 1, send, &sender, &failed), 1);
    EXPECT_FALSE(failed);
    EXPECT_EQ(q.count, 1u) << "at most max per drain";
    EXPECT_TRUE(burst_queue_push(&q, "b5", 2));
    EXPECT_EQ(burst_queue_drain(&q, 20, send, &sender, &failed), 2);
    EXPECT_EQ(sender.calls, (std::vector<std::string>{"b2", "b", "b3", "b4", "b5"}));
    EXPECT_EQ(q.count, 0u);
    EXPECT_EQ(q.head, nullptr);

    // Whatever is left is released at the end (the leak checker watches).
    EXPECT_TRUE(burst_queue_push(&q, "b6", 2));
    EXPECT_TRUE(burst_queue_push(&q, "b7", 2));
    burst_queue_clear(&q);
    EXPECT_EQ(q.count, 0u);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.bytes, 0u);

    // Bursts that fall due while one is in the send join the tail; the one
    // in the send is out of the queue meanwhile, so a full queue gives up
    // the oldest waiting, never the one on the wire.
    struct Pusher {
        BurstQueue* q;
        std::vector<std::string> calls;
        int fail_at = -1;
        int due = 0;
    };
    Pusher pusher{&q};
    auto send_and_push = [](void* ctx, const char* data, std::size_t length) {
        Pusher* p = static_cast<Pusher*>(ctx);
        p->calls.emplace_back(data, length);
        // Appended rather than concatenated: g++ 12 at -O3 misreads the
        // inlined copy of a literal + temporary as overlapping (-Wrestrict).
        std::string due("d");
        due += std::to_string(++p->due);
        burst_queue_push(p->q, due.data(), due.size());
        return static_cast<int>(p->calls.size()) == p->fail_at ? -1 : 0;
    };
    q.dropped = 0;
    q.capacity = 2;
    burst_queue_push(&q, "b1", 2);
    burst_queue_push(&q, "b2", 2);
    EXPECT_EQ(burst_queue_drain(&q, 3, send_and_push, &pusher, &failed), 3);
    EXPECT_EQ(pusher.calls, (std::vector<std::string>{"b1", "b2", "d1"}));
    EXPECT_EQ(q.dropped, 0u);
    // A failed send puts its burst back in front of those that came meanwhile
    // while there is room, and gives it up first when there is none.
    pusher.calls.clear();
    pusher.fail_at = 1;
    EXPECT_EQ(burst_queue_drain(&q, 3, send_and_push, &pusher, &failed), 0);
    EXPECT_TRUE(failed);
    EXPECT_EQ(q.count, 2u);
    EXPECT_EQ(q.dropped, 1u) << "d2 failed while d4 joined d3: no room, d2 gave way";
    pusher.fail_at = -1;
    pusher.calls.clear();
    q.capacity = 5;
    EXPECT_EQ(burst_queue_drain(&q, 2, send_and_push, &pusher, &failed), 2);
    EXPECT_EQ(pusher.calls, (std::vector<std::string>{"d3", "d4"}));
    burst_queue_clear(&q);

    // However many bursts the setting allows, the queue holds at most
    // kBacklogBytes of them, the newest.
    BurstQueue big{};
    big.capacity = UINT32_MAX;
    const std::string burst(kSocketFrameSize, 'b');
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(burst_queue_push(&big, burst.data(), burst.size()));
    EXPECT_EQ(big.bytes, kBacklogBytes);
    EXPECT_EQ(big.count, kBacklogBytes / kSocketFrameSize);
    EXPECT_EQ(big.dropped, 200 - kBacklogBytes / kSocketFrameSize);
    burst_queue_clear(&big);
    // A smaller limit, and bursts of mixed sizes: the oldest give way until the
    // newest fits; one larger than the whole limit is not kept.
    big.byte_limit = 10;
    big.dropped = 0;
    for (const char* b : {"aaaa", "bbbb", "cc", "dddd"})
        EXPECT_TRUE(burst_queue_push(&big, b, std::strlen(b)));
    EXPECT_EQ(big.count, 3u);
    EXPECT_EQ(big.bytes, 10u);
    EXPECT_FALSE(burst_queue_push(&big, "eeeeeeeeeee", 11));
    EXPECT_EQ(big.count, 3u);
    EXPECT_EQ(big.dropped, 2u);
    burst_queue_clear(&big);
}

// A stream with a backlog at one burst per tick delivers every completed
// burst once and in order: two that complete within one tick, bursts that
// fall due while a send waits for a server that stopped reading, and those
// around a reconnect. The writer keeps time with the stream's ticks, seen as
// the arrivals at the server.
TEST(RsockBacklog, EveryDueBurstArrivesOnceThroughPairsSlowReadsAndAReconnect)
{
    th::process_root();                  // before anything logs: the log mirror is decided once
    constexpr std::size_t kPad = 10000;  // bursts of about 30 KB
    constexpr int kLast = 13;            // the last burst completed
    th::TestClockRun clock;
    Endpoint server(SOCK_STREAM, true, 16, 4096);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 1, 1);
    s.backlog = 50;
    // A stream with a backlog ticks from its start: a second after it, and
    // every second after that.
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    const long long opened = monotonic_ms();
    int conn = server.accept_one(10s);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(connected(rs));
    int cfd = -1;
    ASSERT_TRUE(th::wait_until([&] { return (cfd = client_fd_for(server.port)) >= 0; }, 5s));
    const int small = 4096;
    setsockopt(cfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    auto rec = std::make_unique<Recorder>(conn);

    // Burst 1 goes at the first tick, T; burst n starts (completing n - 1)
    // at these times after T, on the ticks at T + whole seconds.
    write_burst(rs, 1, 1, kPad);
    clock_test_advance(500);
    write_burst(rs, 2, 1, kPad);
    clock_test_advance(500);
    const long long t = monotonic_ms();
    ASSERT_EQ(t, opened + 1000);
    let_tick_send(rs, rec.get(), 5000ms);
    // Burst 2, quiet for half a second at the tick, is complete as well and
    // goes along.
    th::wait_until([&] { return bursts_in(rec->all(), kPad).size() >= 2; }, 5s);
    ASSERT_EQ(bursts_in(rec->all(), kPad), (std::vector<int>{1, 2}));
    const std::vector<std::pair<int, long long>> plan{
        {3, 1200},   // 3 completes when 4 starts, between the ticks at T + 1 and T + 2
        {4, 1800},   //
        {5, 2500},   // the server stops reading from T + 3.2 to T + 6.2
        {6, 3500},   //
        {7, 4500},   //
        {8, 5500},   //
        {9, 6500},   //
        {10, 7500},  // closed by the server at T + 8.9: away until
        {11, 8500},  // T + 9.9, with a tick at T + 9 in the pause; 11 and 12
        {12, 9300},  // complete after it, before the next
        {kLast, 10200},
    };
    // The clock moves in steps of 0.1 s. At each tick the worker is given
    // real time to send or keep what falls due, up to a second where it does
    // neither (a send that blocks, the pause while away), and where the
    // server reads, for the server to take what was sent.
    std::string got;
    std::size_t next = 0;
    for (long long at = 100; at <= 20000; at += 100) {
        clock_test_advance(100);
        for (; next < plan.size() && plan[next].second == at; ++next)
            write_burst(rs, plan[next].first, 1, kPad);
        if (at == 3200)
            rec->paused = true;
        if (at == 6200)
            rec->paused = false;
        if (at == 8900) {
            // Everything sent so far has been read when the server closes.
            EXPECT_TRUE(th::wait_until(
                [&] { return rec->size() == rsock_status(rs).bytes_sent && rsock_status(rs).backlog == 0; }, 5s));
            got = rec->all();
            rec.reset();
            // The worker sees the close before the clock moves on.
            EXPECT_TRUE(th::wait_until([&] { return std::strcmp(rsock_status(rs).state, "connected") != 0; }, 5s));
        }
        if (!rec && at > 8900) {
            conn = server.accept_one(50ms);
            if (conn >= 0)
                rec = std::make_unique<Recorder>(conn);
        }
        if (at % 1000 == 0)
            let_tick_send(rs, rec && !rec->paused ? rec.get() : nullptr, 1000ms, got.size());
        if (at >= 11200 && rec && bursts_in(got + rec->all(), kPad).size() >= kLast)
            break;
    }
    ASSERT_TRUE(rec) << "the stream never came back";
    got += rec->all();
    const RsockStatus st = rsock_status(rs);
    rsock_close(rs);

    std::vector<int> expected(kLast);
    for (int n = 1; n <= kLast; ++n)
        expected[static_cast<std::size_t>(n - 1)] = n;
    EXPECT_EQ(bursts_in(got, kPad), expected);
    EXPECT_EQ(st.bursts_dropped, 0u);
    EXPECT_EQ(st.backlog_dropped, 0u);
    EXPECT_EQ(st.reconnects, 1u);
}

}  // namespace
