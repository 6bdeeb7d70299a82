// SPDX-License-Identifier: BSD-2-Clause
// Remote streams in process: burst framing on a test clock, pacing, faults, shutdown and leaks.
#include "outputs/rsock_kit.h"

using namespace std::chrono_literals;
using namespace rsock_kit;

namespace {

// The worker's descriptor connected to server_port once it has finished its
// connect (it sets the keepalive options just after the connect returns);
// -1 when it does not within 5 s.
int connect_done(int server_port)
{
    int fd = -1;
    const auto done = [&] {
        int count = 0;
        socklen_t len = sizeof count;
        fd = client_fd_for(server_port);
        return fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &len) == 0 && count == 2;
    };
    return th::wait_until(done, 5s) ? fd : -1;
}

TEST(RsockOpen, IncompleteOrDisabledRecordsOpenNothing)
{
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
        const int fd = connect_done(server.port);
        ASSERT_GE(fd, 0);
        int idle = 0, interval = 0, on = 0;
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

TEST(RsockTcp, BurstsArriveWholeInOrderAtTheMovingAndHaltedPace)
{
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
    // The next datagram, the clock moving in steps of 0.1 s meanwhile; each
    // step waits until the stream's thread has sent what fell due and sleeps
    // again, so that a slow run (a sanitizer, a loaded machine) never lets
    // the clock outrun its ticks nor the writes below race with a tick.
    auto next_dgram = [&] {
        std::string got;
        for (int step = 0; step < 50 && got.empty(); ++step) {
            EXPECT_TRUE(th::advance_settled(100));
            got = recv_dgram(5ms);
        }
        return got;
    };
    ASSERT_TRUE(th::advance_settled(0));
    write_burst(rs, 1, 1);
    ASSERT_TRUE(th::advance_settled(400));
    write_burst(rs, 2, 1);  // completes burst 1
    EXPECT_EQ(next_dgram(), burst_text(1));

    // 65523 bytes fit a frame but not a datagram (65507 at most): the burst
    // completes before it outgrows one, and nothing fails or reconnects.
    ASSERT_TRUE(th::advance_settled(400));
    write_burst(rs, 3, 1, 21825);
    ASSERT_TRUE(th::advance_settled(400));
    write_burst(rs, 4, 1);
    ASSERT_TRUE(th::advance_settled(400));
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
        ASSERT_TRUE(th::advance_settled(5000));
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
    th::StderrCapture log;
    th::TestClockRun clock;
    Endpoint server(SOCK_STREAM, true);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 1, 1);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    int conn = server.accept_one(10s);
    ASSERT_GE(conn, 0);
    // Reset only once the worker has finished its connect.
    ASSERT_GE(connect_done(server.port), 0);
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
    th::TestClockRun clock;
    Endpoint server(SOCK_STREAM, true, 16, 4096);
    RemoteSocketSettings s = make_settings("127.0.0.1", 0, server.port, 1, 1);
    RemoteSocket* rs = rsock_open(&s);
    ASSERT_NE(rs, nullptr);
    int conn = server.accept_one(10s);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(connected(rs));
    int cfd = -1;
    ASSERT_NO_FATAL_FAILURE(small_send_buffer(server.port, &cfd));
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

// Runs body in a child process with a mount namespace of its own, where
// text stands in the system file at path: body's exit code, -1 when it did
// not exit, 77 ("skip") where no such namespace can be had (it takes root).
int with_file_in_place(const char* path, const std::string& text, const std::function<int()>& body)
{
    th::TempDir dir;
    const std::string stand_in = dir.path + "/stand-in";
    th::write_file(stand_in, text);
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(stand_in.c_str(), path, nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        _exit(body());
    }
    int st = 0;
    return pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The resolver asks a loopback name server that never answers.
TEST(RsockClose, ReturnsPromptlyFromASlowLookup)
{
    const int code = with_file_in_place("/etc/resolv.conf", "nameserver 127.53.0.1\noptions timeout:2 attempts:1\n",
                                        [] {
                                            int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                                            sockaddr_in sa{};
                                            sa.sin_family = AF_INET;
                                            sa.sin_port = htons(53);
                                            inet_pton(AF_INET, "127.53.0.1", &sa.sin_addr);
                                            if (bind(dns, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
                                                return 77;
                                            const int fds = fd_count();
                                            RemoteSocketSettings s = make_settings("gnss-fleet.example", 0, 9, 1, 1);
                                            RemoteSocket* rs = rsock_open(&s);
                                            if (!rs)
                                                return 3;
                                            // Wait until the query is out, so the lookup is surely under way.
                                            pollfd p{dns, POLLIN, 0};
                                            if (poll(&p, 1, 10000) != 1)
                                                return 4;
                                            auto t0 = Clock::now();
                                            rsock_close(rs);
                                            if (Clock::now() - t0 >= 1s)
                                                return 5;
                                            // The abandoned lookup holds its descriptors until it gives up; its
                                            // own wake-up descriptor is released then too.
                                            return th::wait_until([&] { return fd_count() == fds; }, 40s) ? 0 : 6;
                                        });
    if (code == 77)
        GTEST_SKIP() << "needs a private mount namespace (root) to stand in a silent name server";
    EXPECT_EQ(code, 0) << "3 open failed, 4 no query, 5 close slow, 6 descriptor leaked";
}

TEST(RsockTcp, TwoHundredReconnectsLeaveNoDescriptorOrThread)
{
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

// Streams to IPv6 literals (TCP bare, UDP in brackets) and to a name: each
// reports the address in use; only the name's is logged, once, however often
// the stream reconnects to it.
TEST(RsockTcp, Ipv6LiteralsAndANameReportTheAddressInUse)
{
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
        EXPECT_TRUE(connected(rs6, t6));
        EXPECT_TRUE(connected(ru6, d6));
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
    EXPECT_TRUE(connected(rs, v4));
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
    Endpoint server(SOCK_STREAM, true);
    // The same port on ::1 refuses.
    Endpoint refusing(SOCK_STREAM, false, 16, 0, AF_INET6, server.port);
    if (refusing.port == 0)
        GTEST_SKIP() << "no IPv6 loopback address";
    const int code = with_file_in_place("/etc/hosts", "::1 gnss-dual.test\n127.0.0.1 gnss-dual.test\n", [&] {
        SockAddrList list;
        if (sock_lookup("gnss-dual.test", 9, SOCK_STREAM, &list) != 0 || list.count != 2 ||
            list.addr[0].sa.sa_family == list.addr[1].sa.sa_family)
            return 3;
        RemoteSocketSettings s = make_settings("gnss-dual.test", 0, server.port, 1, 1);
        RemoteSocket* rs = rsock_open(&s);
        const int conn = server.accept_one(10s);
        if (conn < 0 || !connected(rs, "127.0.0.1:" + std::to_string(server.port)))
            return 4;
        rsock_close(rs);
        close(conn);
        return 0;
    });
    if (code == 77)
        GTEST_SKIP() << "needs a private mount namespace (root) to stand in a hosts file";
    EXPECT_EQ(code, 0) << "3 lookup not of both families, 4 no connection through IPv4";
}

}  // namespace
