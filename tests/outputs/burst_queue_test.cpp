// SPDX-License-Identifier: BSD-2-Clause
// The remote streams' backlog: order, bound, failed sends and every due burst delivered once.
#include <numeric>

#include "outputs/rsock_kit.h"

using namespace std::chrono_literals;
using namespace rsock_kit;

namespace {

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
    ASSERT_NO_FATAL_FAILURE(small_send_buffer(server.port));
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
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(bursts_in(got, kPad), expected);
    EXPECT_EQ(st.bursts_dropped, 0u);
    EXPECT_EQ(st.backlog_dropped, 0u);
    EXPECT_EQ(st.reconnects, 1u);
}

}  // namespace
