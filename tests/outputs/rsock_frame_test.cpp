// SPDX-License-Identifier: BSD-2-Clause
// Burst framing of the remote streams on a test clock: join, complete or discard by the gaps, and the frame's bound.
#include <sstream>

#include "outputs/rsock_kit.h"

using namespace std::chrono_literals;
using namespace rsock_kit;

namespace {

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
    std::string data;  // "tick": a tick of the stream
    long long at_ms;
    int moving;
};

// Writes as "A@300" (moving), "A@300h" (halted) and "tick@300", apart by blanks.
std::vector<Write> writes_of(const std::string& spec)
{
    std::vector<Write> out;
    std::istringstream in(spec);
    for (std::string w; in >> w;) {
        const std::size_t at = w.find('@');
        out.push_back({w.substr(0, at), std::atoll(w.c_str() + at + 1), w.back() != 'h'});
    }
    return out;
}

struct FramingCase {
    const char* legend;
    const char* writes;
    const char* current;
    const char* pending;
    int pending_moving;
    const char* earlier = "";  // held to go at the same tick as pending
    unsigned period = 1;
    unsigned halt = 1;
};

TEST(RsockFraming, GapsDecideJoinCompleteOrDiscard)
{
    const FramingCase cases[] = {
        {"300 ms after the last write joins", "A@0 B@300", "AB", "", 0},
        {"301 ms completes", "A@0 B@301", "B", "A", 1},
        {"1.999 s still completes", "A@0 B@1999", "B", "A", 1},
        {"exactly 2 s discards the burst", "A@0 B@2000", "B", "", 0},
        {"clock set back joins", "A@5000 B@0", "AB", "", 0},
        {"across a whole second: .9 s to 1.1 s is a 0.2 s gap", "A@900 B@1100", "AB", "", 0},
        {"across a whole second: .9 s to 2.899 s completes", "A@900 B@2899", "B", "A", 1},
        {"across a whole second: .9 s to 2.9 s discards", "A@900 B@2900", "B", "", 0},
        {"the gap counts from the latest append, not the burst start", "A@0 B@250 C@500 D@750", "ABCD", "", 0},
        {"two bursts between sends: the later one waits, the one before goes along at one burst a tick",
         "A@0 B@500h C@1000", "C", "B", 0, "A"},
        {"of three bursts between sends at one a tick, the oldest is dropped", "A@0 B@1000 C@2000 D@3000", "D", "C", 1,
         "B"},
        {"period 2 still sends at every tick", "A@0 B@1000 C@2000", "C", "B", 1, "A", 2},
        {"at a slower pace only the latest waits", "A@0 B@1000 C@2000", "C", "B", 1, "", 3},
        {"the flag of the waiting burst decides its pace", "A@0h B@1000 C@2000", "C", "B", 1, "", 1, 5},
        {"a burst carries the flag of its latest append", "A@0 B@100h C@600", "C", "AB", 0},
        {"at 10 Hz a burst completes once it has collected for a second", "A@0 B@300 C@600 D@900 E@999 F@1000h", "F",
         "ABCDE", 1},
        {"the second is counted from the first append of the burst", "A@0 B@500 C@800 D@1100 E@1400 F@1500", "F",
         "BCDE", 1, "A"},
        {"a stale burst leaves the earlier pending one alone", "A@0 B@500 C@3000", "C", "A", 1},
        {"a tick 301 ms after the last write completes the burst", "A@0h tick@301", "", "A", 0},
        {"a tick 300 ms after the last write leaves it open", "A@0 tick@300 B@300", "AB", "", 0},
        {"a receiver slower than the stale limit: each burst completes at a tick",
         "A@0 tick@800 B@5000 C@5100 tick@5800", "", "BC", 1, "A"},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.legend);
        IdleInstance idle(c.period, c.halt);
        ASSERT_NE(idle.rs, nullptr);
        for (const Write& w : writes_of(c.writes)) {
            if (w.data != "tick")
                rsock_write_at(idle.rs, w.data.data(), w.data.size(), w.moving, at(w.at_ms));
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

}  // namespace
