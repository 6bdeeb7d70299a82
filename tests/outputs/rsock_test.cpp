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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "outputs/rsock.h"
#include "outputs/sock.h"
#include "platform/platform.h"
#include "support/harness.h"
#include "support/inproc.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A loopback socket that can listen, or stay bound without listening so that
// connects to its port are refused.
struct Endpoint {
    int fd = -1;
    int port = 0;
    Endpoint(int type, bool do_listen, int backlog = 16, int rcvbuf = 0)
    {
        fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        if (do_listen)
            listen(fd, backlog);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
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

timeval at(long long usec)
{
    const long long base = 1700000000LL * 1000000;
    long long t = base + usec;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(t / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(t % 1000000);
    return tv;
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
    RemoteSocketSettings settings = make_settings("127.0.0.1", 0, refusing.port, 1, 1);
    RemoteSocket* rs = rsock_open(&settings);
    ~IdleInstance() { rsock_close(rs); }
};

struct Write {
    const char* data;
    long long at_us;
    int moving;
};

struct FramingCase {
    const char* legend;
    std::vector<Write> writes;
    const char* current;
    const char* pending;
    int pending_moving;
};

TEST(RsockFraming, GapsDecideJoinCompleteOrDiscard)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    const FramingCase cases[] = {
        {"300000 us after the last write joins", {{"A", 0, 1}, {"B", 300000, 1}}, "AB", "", 0},
        {"300001 us completes", {{"A", 0, 1}, {"B", 300001, 1}}, "B", "A", 1},
        {"1.999999 s still completes", {{"A", 0, 1}, {"B", 1999999, 1}}, "B", "A", 1},
        {"exactly 2 s discards the burst", {{"A", 0, 1}, {"B", 2000000, 1}}, "B", "", 0},
        {"clock set back joins", {{"A", 5000000, 1}, {"B", 0, 1}}, "AB", "", 0},
        {"borrow: .9 s to 1.1 s is a 0.2 s gap", {{"A", 900000, 1}, {"B", 1100000, 1}}, "AB", "", 0},
        {"borrow: .9 s to 2.899999 s completes", {{"A", 900000, 1}, {"B", 2899999, 1}}, "B", "A", 1},
        {"borrow: .9 s to 2.9 s discards", {{"A", 900000, 1}, {"B", 2900000, 1}}, "B", "", 0},
        {"the gap counts from the latest append, not the burst start",
         {{"A", 0, 1}, {"B", 250000, 1}, {"C", 500000, 1}, {"D", 750000, 1}},
         "ABCD",
         "",
         0},
        {"two bursts between sends: the later one waits",
         {{"A", 0, 1}, {"B", 500000, 0}, {"C", 1000000, 1}},
         "C",
         "B",
         0},
        {"a burst carries the flag of its latest append",
         {{"A", 0, 1}, {"B", 100000, 0}, {"C", 600000, 1}},
         "C",
         "AB",
         0},
        {"at 10 Hz a burst completes once it has collected for a second",
         {{"A", 0, 1}, {"B", 300000, 1}, {"C", 600000, 1}, {"D", 900000, 1}, {"E", 999999, 1}, {"F", 1000000, 0}},
         "F",
         "ABCDE",
         1},
        {"the second is counted from the first append of the burst",
         {{"A", 0, 1}, {"B", 500000, 1}, {"C", 800000, 1}, {"D", 1100000, 1}, {"E", 1400000, 1}, {"F", 1500000, 1}},
         "F",
         "BCDE",
         1},
        {"a stale burst leaves the earlier pending one alone",
         {{"A", 0, 1}, {"B", 500000, 1}, {"C", 3000000, 1}},
         "C",
         "A",
         1},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.legend);
        IdleInstance idle;
        ASSERT_NE(idle.rs, nullptr);
        for (const Write& w : c.writes) {
            timeval tv = at(w.at_us);
            rsock_write_at(idle.rs, w.data, std::strlen(w.data), w.moving, &tv);
        }
        int moving = -1;
        EXPECT_EQ(peek(idle.rs, 0), c.current);
        EXPECT_EQ(peek(idle.rs, 1, &moving), c.pending);
        if (c.pending[0]) {
            EXPECT_EQ(moving, c.pending_moving);
        }
    }
}

TEST(RsockFraming, FrameHoldsExactly65536BytesAndAFullBurstIsComplete)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    IdleInstance idle;
    ASSERT_NE(idle.rs, nullptr);
    const std::string half(kSocketFrameSize / 2, 'x');
    timeval t0 = at(0), t1 = at(100000), t2 = at(200000), t3 = at(300000), t4 = at(900000);
    rsock_write_at(idle.rs, half.data(), half.size(), 1, &t0);
    rsock_write_at(idle.rs, half.data(), half.size(), 1, &t1);
    EXPECT_EQ(peek(idle.rs, 0).size(), kSocketFrameSize);

    // The write that would overflow the burst completes it and starts the next.
    rsock_write_at(idle.rs, "Z", 1, 1, &t2);
    EXPECT_EQ(peek(idle.rs, 0), "Z");
    EXPECT_EQ(peek(idle.rs, 1), half + half);
    rsock_write_at(idle.rs, "Y", 1, 1, &t3);
    rsock_write_at(idle.rs, "N", 1, 1, &t4);
    EXPECT_EQ(peek(idle.rs, 1), "ZY");
    EXPECT_EQ(th::count_of(log.text(), "oops"), 0);

    // One write larger than a frame cannot be held at all.
    const std::string huge(kSocketFrameSize + 1, 'h');
    timeval t5 = at(5000000);
    rsock_write_at(idle.rs, huge.data(), huge.size(), 1, &t5);
    EXPECT_EQ(peek(idle.rs, 0), "");
    EXPECT_EQ(th::count_of(log.text(), "gps: err: rsock_write_exec - oops, buffer is full (127.0.0.1:"), 1)
        << log.text();
    // Replaced before its tick, discarded as stale: both count as dropped,
    // and both are skipped by design rather than lost to the connection.
    const RsockStatus st = rsock_status(idle.rs);
    EXPECT_EQ(st.bursts_dropped, 2u);
    EXPECT_EQ(st.bursts_skipped, 2u);
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
    // Beyond a day the period is taken as a day, and the idle time stops at
    // the kernel's limit.
    for (const Case c : {Case{1, 10}, Case{4, 10}, Case{5, 10}, Case{6, 12}, Case{30, 60}, Case{2147483648U, 32767},
                         Case{UINT32_MAX, 32767}}) {
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

// Records what a server connection receives, with arrival times.
struct Recorder {
    struct Chunk {
        Clock::time_point when;
        std::string bytes;
    };
    int fd;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::vector<Chunk> chunks;
    std::thread t;
    explicit Recorder(int conn) : fd(conn)
    {
        t = std::thread([this] {
            char buf[70000];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> g(m);
                chunks.push_back({Clock::now(), std::string(buf, static_cast<std::size_t>(n))});
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
};

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
    // period 2 while moving, 4 while halted.
    Endpoint server(SOCK_STREAM, true);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 2, 4);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    Recorder rec(server.accept_one(10s));
    std::atomic<bool> done{false};
    std::atomic<int> moving{1};
    std::thread writer([&] {
        for (int n = 1; !done; ++n) {
            write_burst(rs, n, moving);
            std::this_thread::sleep_for(400ms);
        }
    });
    ASSERT_TRUE(th::wait_until([&] { return bursts_in(rec.all()).size() >= 4; }, 20s));
    moving = 0;
    const std::size_t moving_count = bursts_in(rec.all()).size();
    ASSERT_TRUE(th::wait_until([&] { return bursts_in(rec.all()).size() >= moving_count + 4; }, 30s));
    done = true;
    writer.join();
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
    std::vector<std::pair<Clock::time_point, int>> sends;
    {
        std::lock_guard<std::mutex> g(rec.m);
        for (auto& c : rec.chunks)
            sends.push_back({c.when, bursts_in(c.bytes).empty() ? -1 : bursts_in(c.bytes)[0]});
    }
    int long_gaps = 0;
    for (std::size_t i = 1; i < sends.size(); ++i) {
        auto gap = sends[i].first - sends[i - 1].first;
        EXPECT_GE(gap, 900ms) << "two sends within one tick";
        if (gap >= 2900ms)
            ++long_gaps;
    }
    EXPECT_GE(long_gaps, 2) << "the halted pace (every third tick) never showed";
}

TEST(RsockUdp, DatagramPerBurstAndNoBurstOutgrowsADatagram)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
    Endpoint server(SOCK_DGRAM, false);
    RemoteSocketSettings s = make_settings("127.0.0.1", 1, server.port, 1, 1);
    s.backlog = 5;
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(th::count_of(log.text(), "gps: notice: rsock_open - backlog ignored on a UDP stream (127.0.0.1:" +
                                           std::to_string(server.port) + ")"),
              1)
        << log.text();
    auto recv_dgram = [&](std::chrono::milliseconds timeout) {
        pollfd p{server.fd, POLLIN, 0};
        std::string buf(70000, '\0');
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::string();
        ssize_t n = recv(server.fd, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    };
    write_burst(rs, 1, 1);
    std::this_thread::sleep_for(400ms);
    write_burst(rs, 2, 1);  // completes burst 1
    EXPECT_EQ(recv_dgram(5s), burst_text(1));

    // 65523 bytes fit a frame but not a datagram (65507 at most): the burst
    // completes before it outgrows one, and nothing fails or reconnects.
    std::this_thread::sleep_for(400ms);
    write_burst(rs, 3, 1, 21825);
    std::this_thread::sleep_for(400ms);
    write_burst(rs, 4, 1);
    std::this_thread::sleep_for(400ms);
    write_burst(rs, 5, 1);  // completes burst 4
    std::size_t largest = 0;
    std::string next;
    ASSERT_TRUE(th::wait_until(
        [&] {
            next = recv_dgram(100ms);
            largest = std::max(largest, next.size());
            return next == burst_text(4);
        },
        10s));
    EXPECT_LE(largest, 65507u);
    EXPECT_EQ(log.text().find("Message too long"), std::string::npos) << log.text();
    EXPECT_EQ(rsock_status(rs).reconnects, 0u);
    rsock_close(rs);
}

TEST(RsockTcp, ResetPeerIsASendErrorNotASignal)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    th::StderrCapture log;
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
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int n = 1; !done; ++n) {
            write_burst(rs, n, 1);
            std::this_thread::sleep_for(400ms);
        }
    });
    // The reset shows either in the read (recv error) or in a send; either
    // way the worker reconnects and the process lives on.
    int again = server.accept_one(15s);
    EXPECT_GE(again, 0);
    done = true;
    writer.join();
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
    Endpoint server(SOCK_STREAM, true, 16, 4096);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 1, 1);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    int conn = server.accept_one(10s);
    ASSERT_GE(conn, 0);
    // A fixed small send buffer (no autotuning) so the worker's send is held
    // up after a burst or two; set once the worker has its connection.
    int cfd = -1;
    ASSERT_TRUE(th::wait_until([&] { return (cfd = client_fd_for(server.port)) >= 0; }, 5s));
    const int small = 4096;
    setsockopt(cfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // Bursts of about 60 KiB fill the stalled path within a few sends.
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int n = 1; n <= 40; ++n) {
            write_burst(rs, n, 1, 20000);
            std::this_thread::sleep_for(350ms);
            written = n;
        }
    });
    // The worker is stuck in a send: its queue stands still although
    // bursts keep coming.
    auto queued = [&] {
        int n = 0;
        ioctl(cfd, TIOCOUTQ, &n);
        return n;
    };
    EXPECT_TRUE(th::wait_until(
        [&] {
            const int before = queued();
            std::this_thread::sleep_for(1500ms);
            return before > 0 && queued() == before && written < 40;
        },
        30s))
        << "the server never held up the sender";
    // The writer gets through all its bursts meanwhile.
    EXPECT_TRUE(th::wait_until([&] { return written == 40; }, 60s));
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
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 77)
        GTEST_SKIP() << "needs a private mount namespace (root) to stand in a silent name server";
    EXPECT_EQ(WEXITSTATUS(st), 0) << "3 open failed, 4 no query, 5 close slow, 6 descriptor leaked";
}

TEST(RsockTcp, TwoHundredReconnectsLeaveNoDescriptorOrThread)
{
    th::process_root();  // before anything logs: the log mirror is decided once
    // A server that closes every connection as soon as it has accepted it;
    // each instance then reconnects about once a second.
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
    EXPECT_TRUE(th::wait_until([&] { return accepted >= 200 + kInstances; }, 60s)) << accepted;
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
}

}  // namespace
