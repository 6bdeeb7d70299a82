// SPDX-License-Identifier: BSD-2-Clause
// The fleet store: order per output, bounds, commits only of what waits, damaged files and power cuts.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "fleet/store.h"
#include "support/harness.h"

namespace {

constexpr long long kT0 = 1'000'000;
using Numbers = std::vector<int>;

StoreConfig flash_config(const std::string& path, uint32_t size_kib = 8192)
{
    StoreConfig c{};
    std::snprintf(c.path, sizeof c.path, "%s", path.c_str());
    c.size_bytes = uint64_t{size_kib} * 1024;
    c.sync_ms = 5000;
    return c;
}

// Position n: its number, then as much again as a position object holds.
std::string position(int n)
{
    return std::to_string(n) + ":" + std::string(200, 'p');
}

// Appends positions from to to - 1 at one moment; returns the last number.
uint64_t append(FleetStore* st, int from, int to, long long now, uint32_t targets = kStoreMqtt)
{
    uint64_t seq = 0;
    for (int i = from; i < to; ++i)
        seq = store_append(st, targets, position(i).data(), position(i).size(), now);
    return seq;
}

// Positions from to to - 1, one every step_ms from *now with a tick after
// each; the backend takes every taken-th at once (0: none).
void feed(FleetStore* st, int from, int to, long long* now, long long step_ms, int taken = 0,
          uint32_t targets = kStoreMqtt)
{
    for (int i = from; i < to; ++i, *now += step_ms) {
        const uint64_t seq = append(st, i, i + 1, *now, targets);
        if (taken && i % taken == 0)
            store_done(st, kStoreMqtt, seq);
        store_tick(st, *now);
    }
}

// The positions a target still waits for, oldest first, and their sequence numbers.
Numbers walk(FleetStore* st, uint32_t target, std::vector<uint64_t>* seqs = nullptr)
{
    Numbers out;
    StoreRecord r{};
    for (uint64_t after = 0; store_next(st, target, after, &r) == 1; after = r.seq) {
        EXPECT_EQ(std::string(r.payload, r.length), position(std::atoi(r.payload)));
        out.push_back(std::atoi(r.payload));
        if (seqs)
            seqs->push_back(r.seq);
    }
    return out;
}

Numbers range(int from, int to)
{
    Numbers v(static_cast<std::size_t>(to - from + 1));
    std::iota(v.begin(), v.end(), from);
    return v;
}

std::string bytes_of(const std::string& path)
{
    return th::file_exists(path) ? th::read_file(path) : std::string();
}

// A store on flash with the defaults, in a folder of its own.
struct StoreOnFlash : testing::Test {
    th::TempDir dir;
    std::string path = dir.path + "/fleet.db";
    StoreConfig cfg = flash_config(path);
    FleetStore* st = store_open(&cfg, kT0);
};

}  // namespace

TEST(StoreConfig, DefaultsAndBounds)
{
    struct Case {
        const char *legend, *path, *size, *sync, *want;  // path, bytes, milliseconds
    } cases[] = {
        {"all empty: defaults", "", "", "", "/opt/gps/var/fleet.db 8388608 5000"},
        {"size 0: memory only", "x.db", "0", "0", "x.db 0 0"},
        {"tiny size raised", "x.db", "3", "1", "x.db 65536 1000"},
        {"not numbers: defaults", "x.db", "lots", "-2", "x.db 8388608 5000"},
        {"a period past a day: a day", "x.db", "64", "4294967", "x.db 65536 86400000"},
    };
    for (const Case& c : cases) {
        StoreSettings s{const_cast<char*>(c.path), const_cast<char*>(c.size), const_cast<char*>(c.sync)};
        StoreConfig cfg;
        store_config(&s, &cfg);
        EXPECT_EQ(std::string(cfg.path) + " " + std::to_string(cfg.size_bytes) + " " + std::to_string(cfg.sync_ms),
                  c.want)
            << c.legend;
    }
}

// The same behaviour with and without flash: every output walks its own
// records in order, a record goes when every output it was taken for is
// done with it, and the oldest go first past the memory bound.
TEST(Store, OutputsTakeTheirRecordsInOrder)
{
    th::TempDir dir;
    for (uint32_t size_kib : {0u, 8192u}) {
        SCOPED_TRACE(size_kib ? "flash" : "memory");
        StoreConfig cfg = flash_config(dir.path + "/order.db", size_kib);
        cfg.memory_limit = 8;
        FleetStore* st = store_open(&cfg, kT0);
        const uint32_t targets[] = {kStoreMqtt, kStoreMqtt | kStoreHttp, kStoreHttp, kStoreMqtt | kStoreHttp};
        std::vector<uint64_t> seqs;
        for (int i = 0; i < 4; ++i) {
            seqs.push_back(store_peek_seq(st));
            EXPECT_EQ(append(st, i, i + 1, kT0, targets[i]), seqs.back());
        }
        const std::string too_long(kStorePayloadMax + 1, 'x');
        EXPECT_EQ(store_append(st, 0, "x", 1, kT0) + store_append(st, kStoreMqtt, "", 0, kT0) +
                      store_append(st, kStoreMqtt, too_long.data(), too_long.size(), kT0),
                  0u)
            << "no target, empty, too long";
        EXPECT_EQ(store_peek_seq(st), seqs.back() + 1) << "a refused record takes no number";
        // With flash the first four are committed, the next two wait in memory.
        store_tick(st, kT0 + 5000);
        for (int i = 4; i < 6; ++i)
            seqs.push_back(append(st, i, i + 1, kT0 + 5000));
        EXPECT_EQ(walk(st, kStoreMqtt), (Numbers{0, 1, 3, 4, 5}));
        EXPECT_EQ(walk(st, kStoreHttp), (Numbers{1, 2, 3}));
        EXPECT_EQ(store_status(st, kT0 + 5000).pending, 6u);
        for (uint64_t seq : {seqs[0], seqs[1], seqs[2], seqs[3], seqs[4], seqs[5], seqs[0], seqs[5] + 100})
            store_done(st, kStoreMqtt, seq);  // the first twice, and one it never had
        EXPECT_EQ(walk(st, kStoreMqtt), Numbers{});
        EXPECT_EQ(store_status(st, kT0 + 5000).pending, 3u);
        store_tick(st, kT0 + 10000);
        EXPECT_EQ(walk(st, kStoreHttp), (Numbers{1, 2, 3}));
        // Past the memory bound the oldest go, counted.
        append(st, 6, 16, kT0 + 10000);
        const StoreStatus s = store_status(st, kT0 + 12000);
        EXPECT_EQ(walk(st, kStoreMqtt), range(8, 15));
        EXPECT_EQ(s.dropped, size_kib ? 2u : 5u);
        EXPECT_STREQ(s.state, size_kib ? "flash" : "memory");
        EXPECT_EQ(s.since_commit_s, 2);
        store_close(st, kT0 + 12000);
    }
}

// What the backend takes before the next commit never reaches flash; what
// waits survives a clean stop, and numbers go on without a gap across it.
TEST_F(StoreOnFlash, FlashHoldsOnlyWhatWaits)
{
    const std::string db = bytes_of(path), wal = bytes_of(path + "-wal");
    long long now = kT0;
    feed(st, 0, 100, &now, 1000, 1);
    EXPECT_TRUE(bytes_of(path) == db && bytes_of(path + "-wal") == wal) << "connected: no write";
    // A commit falls due a moment after a record was taken: it waits for the acknowledgement.
    store_tick(st, now);
    const uint64_t fresh = store_append(st, kStoreMqtt, "{}", 2, now + 4900);
    store_tick(st, now + 5000);
    store_done(st, kStoreMqtt, fresh);
    store_tick(st, now += 5400);
    EXPECT_TRUE(bytes_of(path) == db && bytes_of(path + "-wal") == wal) << "acknowledged at once: no write";
    // The backend goes away.
    feed(st, 100, 110, &now, 1000, 0, kStoreMqtt | kStoreHttp);
    EXPECT_NE(bytes_of(path + "-wal"), wal);
    EXPECT_GT(store_status(st, now).bytes, 0u);
    std::vector<uint64_t> seqs;
    EXPECT_EQ(walk(st, kStoreMqtt, &seqs), range(100, 109));
    store_done(st, kStoreMqtt, seqs[0]);
    store_done(st, kStoreHttp, seqs[0]);
    store_done(st, kStoreMqtt, seqs[1]);
    store_close(st, now);

    st = store_open(&cfg, now);
    EXPECT_EQ(walk(st, kStoreMqtt), range(102, 109));
    EXPECT_EQ(walk(st, kStoreHttp), range(101, 109));
    EXPECT_EQ(store_status(st, now).pending, 9u);
    EXPECT_EQ(store_peek_seq(st), seqs.back() + 1);
    store_close(st, now);
}

// A tiny store under a 10 Hz receiver and no backend: between commits the
// files stay within the size, the oldest go first and are counted.
TEST_F(StoreOnFlash, FlashStaysWithinItsSize)
{
    store_close(st, kT0);
    cfg.size_bytes = kStoreSizeMinKib * 1024;
    st = store_open(&cfg, kT0);
    long long now = kT0;
    const int total = 6000;
    std::size_t most = 0;
    for (int i = 0; i < total; ++i) {
        feed(st, i, i + 1, &now, 100);
        most = std::max(most, bytes_of(path).size() + bytes_of(path + "-wal").size());
    }
    const StoreStatus s = store_status(st, now);
    EXPECT_LE(most, cfg.size_bytes) << "between commits";
    EXPECT_GT(s.dropped, total / 2u);
    EXPECT_EQ(s.pending + s.dropped, unsigned{total});
    EXPECT_EQ(walk(st, kStoreMqtt), range(static_cast<int>(s.dropped), total - 1)) << "the oldest went";
    store_close(st, now);
}

// A file that is no sound store is moved aside with its log and a fresh
// store takes its place; one that cannot be a file at all leaves the store
// in memory. Neither loses what is appended after, nor hands out numbers
// below those the lost store did.
TEST(Store, DamagedOrUnusableFiles)
{
    struct Case {
        const char* legend;
        int records;     // -1: no store, the file holds what damage says
        std::size_t at;  // damage: bytes from here on
        std::size_t length;
        const char* state;
        bool aside;
    } cases[] = {
        {"random bytes", -1, 0, 5000, "flash", true},
        {"empty file", -1, 0, 0, "flash", false},
        {"another database (its application id)", 0, 68, 1, "flash", true},
        {"a damaged page", 200, 3 * 1024 + 100, 800, "flash", true},
        {"a directory", -2, 0, 0, "fallback", false},
    };
    for (const Case& c : cases) {
        th::TempDir dir;
        const std::string path = dir.path + "/fleet.db";
        const StoreConfig cfg = flash_config(path);
        if (c.records >= 0) {
            FleetStore* st = store_open(&cfg, kT0);
            append(st, 0, c.records, kT0);
            store_close(st, kT0);
        }
        std::string bytes = c.records == -2 ? std::string() : bytes_of(path);
        bytes.resize(std::max(bytes.size(), c.at + c.length));
        for (std::size_t i = c.at; i < c.at + c.length; ++i)
            bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
        if (c.records == -2)
            mkdir(path.c_str(), 0755);
        else
            th::write_file(path, bytes);
        const uint64_t wall_ms = static_cast<uint64_t>(time(nullptr)) * 1000;
        FleetStore* st = store_open(&cfg, kT0);
        EXPECT_STREQ(store_status(st, kT0).state, c.state) << c.legend;
        EXPECT_GE(store_peek_seq(st), wall_ms) << c.legend << ": numbers go on from the clock";
        EXPECT_EQ(th::file_exists(path + ".corrupt"), c.aside) << c.legend;
        EXPECT_EQ(walk(st, kStoreMqtt), Numbers{}) << c.legend;
        append(st, 0, 3, kT0);
        store_tick(st, kT0 + 5000);
        EXPECT_EQ(walk(st, kStoreMqtt), range(0, 2)) << c.legend;
        store_close(st, kT0 + 5000);
    }
}

// A flash that fills up during a commit: logged, and the store goes on in
// memory with everything it held.
TEST_F(StoreOnFlash, FullFlashFallsBackToMemory)
{
    long long now = kT0;
    feed(st, 0, 20, &now, 1000);
    // No file may grow any further.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = old;
    tight.rlim_cur = std::max(bytes_of(path).size(), bytes_of(path + "-wal").size());
    setrlimit(RLIMIT_FSIZE, &tight);
    feed(st, 20, 300, &now, 1000);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    const StoreStatus s = store_status(st, now);
    EXPECT_STREQ(s.state, "fallback");
    EXPECT_EQ(s.dropped, 0u);
    EXPECT_EQ(walk(st, kStoreMqtt), range(0, 299));
    store_close(st, now);
}

// Power cuts at every point of a commit: the log cut short at each frame
// and within frames, its last page torn. The store opens, keeps every
// committed record and has the commit in progress either whole or not at all.
TEST_F(StoreOnFlash, PowerCutDuringACommit)
{
    append(st, 0, 30, kT0);
    store_tick(st, kT0 + 5000);
    const std::string db = bytes_of(path), committed = bytes_of(path + "-wal");
    append(st, 30, 60, kT0 + 5000);
    store_tick(st, kT0 + 10000);
    const std::string wal = bytes_of(path + "-wal");
    ASSERT_EQ(bytes_of(path), db) << "no checkpoint between the two commits";
    store_close(st, kT0 + 10000);
    ASSERT_GT(wal.size(), committed.size());

    std::vector<std::string> cuts;
    for (std::size_t n = committed.size(); n < wal.size(); n += (1024 + 24) / 3)
        cuts.push_back(wal.substr(0, n));
    cuts.push_back(wal);
    for (std::size_t i = wal.size() - 600; i < wal.size(); ++i)
        cuts.back()[i] = static_cast<char>(i * 7);  // the last page torn
    cuts.push_back(wal);
    for (std::size_t k = 0; k < cuts.size(); ++k) {
        SCOPED_TRACE("log of " + std::to_string(cuts[k].size()) + " bytes, cut " + std::to_string(k));
        th::write_file(path, db);
        th::write_file(path + "-wal", cuts[k]);
        FleetStore* again = store_open(&cfg, kT0);
        EXPECT_STREQ(store_status(again, kT0).state, "flash");
        EXPECT_FALSE(th::file_exists(path + ".corrupt"));
        EXPECT_EQ(walk(again, kStoreMqtt), range(0, k + 1 == cuts.size() ? 59 : 29));
        store_close(again, kT0);
    }
}

// kill -9 between commits: what was committed is there, in order, and the
// numbers handed out after the restart are above every one handed out
// before (the backend may have seen those).
TEST_F(StoreOnFlash, KilledBetweenCommits)
{
    const uint64_t first = store_peek_seq(st);
    store_close(st, kT0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        st = store_open(&cfg, kT0);
        long long now = kT0;
        feed(st, 0, 123, &now, 1000, 10);  // the backend there now and then
        raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    st = store_open(&cfg, kT0);
    // Commits came at every fifth second: records 0 to 119 were committed.
    Numbers want = range(0, 119);
    std::erase_if(want, [](int i) { return i % 10 == 0; });
    EXPECT_EQ(walk(st, kStoreMqtt), want);
    EXPECT_GT(store_peek_seq(st), first + 122);
    store_close(st, kT0);
}
