// SPDX-License-Identifier: BSD-2-Clause
// The fleet store: order per output, bounds, commits only of what waits, damaged files and power cuts.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "fleet/store.h"
#include "support/harness.h"

namespace {

constexpr long long kT0 = 1'000'000;

StoreConfig flash_config(const std::string& path, uint32_t size_kib = 8192)
{
    StoreConfig c{};
    std::snprintf(c.path, sizeof c.path, "%s", path.c_str());
    c.size_bytes = uint64_t{size_kib} * 1024;
    c.sync_ms = 5000;
    return c;
}

// A position object of the usual size, told apart by its number.
std::string position(uint64_t n)
{
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"time\":\"2026-12-08T12:%02u:%02u.00Z\",\"lat\":48.117300,\"lon\":11.516667,\"alt\":545.4,"
                  "\"speed\":41.48,\"course\":84.4,\"fix\":1,\"sats\":8,\"hdop\":0.9,\"moving\":true,\"n\":%llu}",
                  static_cast<unsigned>(n / 60 % 60), static_cast<unsigned>(n % 60),
                  static_cast<unsigned long long>(n));
    return buf;
}

std::string text(const StoreRecord& r)
{
    return std::string(r.payload, r.length);
}

// Every record a target still waits for, oldest first.
std::vector<std::string> walk(FleetStore* st, uint32_t target, std::vector<uint64_t>* seqs = nullptr)
{
    std::vector<std::string> out;
    StoreRecord r{};
    for (uint64_t after = 0; store_next(st, target, after, &r) == 1; after = r.seq) {
        out.push_back(text(r));
        if (seqs)
            seqs->push_back(r.seq);
    }
    return out;
}

std::vector<std::string> positions(uint64_t from, uint64_t to)
{
    std::vector<std::string> v;
    for (uint64_t n = from; n <= to; ++n)
        v.push_back(position(n));
    return v;
}

// Appends positions from to to - 1 at one moment; returns the last number.
uint64_t append(FleetStore* st, int from, int to, long long now, uint32_t targets = kStoreMqtt)
{
    uint64_t seq = 0;
    for (int i = from; i < to; ++i)
        seq = store_append(st, targets, position(i).data(), position(i).size(), now);
    return seq;
}

// A store on flash with the defaults, in a folder of its own.
struct StoreOnFlash : testing::Test {
    th::TempDir dir;
    std::string path = dir.path + "/fleet.db";
    StoreConfig cfg = flash_config(path);
    FleetStore* st = nullptr;
    void SetUp() override
    {
        st = store_open(&cfg, kT0);
        ASSERT_NE(st, nullptr);
    }
};

std::string bytes_of(const std::string& path)
{
    return th::file_exists(path) ? th::read_file(path) : std::string("(none)");
}

}  // namespace

TEST(StoreConfig, DefaultsAndBounds)
{
    struct Case {
        const char* legend;
        const char* path;
        const char* size;
        const char* sync;
        const char* want_path;
        uint64_t want_bytes;
        uint32_t want_sync_ms;
    };
    const Case cases[] = {
        {"all empty: defaults", "", "", "", "/opt/gps/var/fleet.db", 8192 * 1024, 5000},
        {"size 0: memory only", "x.db", "0", "0", "x.db", 0, 0},
        {"tiny size raised", "x.db", "3", "1", "x.db", 64 * 1024, 1000},
        {"not numbers: defaults", "x.db", "lots", "-2", "x.db", 8192 * 1024, 5000},
    };
    for (const Case& c : cases) {
        StoreSettings s{const_cast<char*>(c.path), const_cast<char*>(c.size), const_cast<char*>(c.sync)};
        StoreConfig cfg;
        store_config(&s, &cfg);
        EXPECT_STREQ(cfg.path, c.want_path) << c.legend;
        EXPECT_EQ(cfg.size_bytes, c.want_bytes) << c.legend;
        EXPECT_EQ(cfg.sync_ms, c.want_sync_ms) << c.legend;
    }
}

// The same behaviour with and without flash: every output walks its own
// records in order, a record goes when every output it was taken for is
// done with it, and the oldest go first past the memory bound.
TEST(Store, OutputsTakeTheirRecordsInOrder)
{
    th::TempDir dir;
    for (uint64_t size_kib : {0u, 8192u}) {
        SCOPED_TRACE(size_kib ? "flash" : "memory");
        StoreConfig cfg = flash_config(dir.path + "/order.db", static_cast<uint32_t>(size_kib));
        cfg.memory_limit = 8;
        FleetStore* st = store_open(&cfg, kT0);
        ASSERT_NE(st, nullptr);
        const uint32_t targets[] = {kStoreMqtt, kStoreMqtt | kStoreHttp, kStoreHttp, kStoreMqtt | kStoreHttp};
        std::vector<uint64_t> seqs;
        for (int i = 0; i < 4; ++i) {
            const uint64_t peeked = store_peek_seq(st);
            seqs.push_back(store_append(st, targets[i], position(i).data(), position(i).size(), kT0));
            EXPECT_EQ(seqs.back(), peeked);
        }
        EXPECT_EQ(store_append(st, 0, "x", 1, kT0), 0u) << "no target";
        EXPECT_EQ(store_append(st, kStoreMqtt, "", 0, kT0), 0u) << "empty";
        EXPECT_EQ(store_append(st, kStoreMqtt, std::string(kStorePayloadMax + 1, 'x').data(), kStorePayloadMax + 1,
                               kT0),
                  0u)
            << "too long";
        EXPECT_EQ(store_peek_seq(st), seqs.back() + 1) << "a refused record takes no number";
        for (int i = 1; i < 4; ++i)
            EXPECT_LT(seqs[i - 1], seqs[i]);
        // Half of them reach flash, the rest stays in memory.
        if (size_kib)
            store_tick(st, kT0 + 5000);
        for (int i = 4; i < 6; ++i)
            seqs.push_back(append(st, i, i + 1, kT0 + 5000));
        EXPECT_EQ(walk(st, kStoreMqtt),
                  (std::vector<std::string>{position(0), position(1), position(3), position(4), position(5)}));
        EXPECT_EQ(walk(st, kStoreHttp), (std::vector<std::string>{position(1), position(2), position(3)}));
        EXPECT_EQ(store_status(st, kT0 + 5000).pending, 6u);
        for (uint64_t seq : seqs)
            store_done(st, kStoreMqtt, seq);
        store_done(st, kStoreMqtt, seqs[0]);        // twice
        store_done(st, kStoreMqtt, seqs[5] + 100);  // unknown
        EXPECT_TRUE(walk(st, kStoreMqtt).empty());
        EXPECT_EQ(walk(st, kStoreHttp), (std::vector<std::string>{position(1), position(2), position(3)}));
        EXPECT_EQ(store_status(st, kT0 + 5000).pending, 3u);
        store_tick(st, kT0 + 10000);
        EXPECT_EQ(walk(st, kStoreHttp), (std::vector<std::string>{position(1), position(2), position(3)}));
        // Past the memory bound the oldest go, counted.
        append(st, 6, 16, kT0 + 10000);
        const StoreStatus s = store_status(st, kT0 + 12000);
        EXPECT_EQ(walk(st, kStoreMqtt), positions(8, 15));
        EXPECT_EQ(s.dropped, size_kib ? 2u : 5u);
        EXPECT_STREQ(s.state, size_kib ? "flash" : "memory");
        EXPECT_EQ(s.since_commit_s, 2);
        store_close(st, kT0 + 12000);
    }
}

// What the backend takes before the next commit never reaches flash; what
// waits survives a clean stop, and numbers go on growing across it.
TEST_F(StoreOnFlash, FlashHoldsOnlyWhatWaits)
{
    const std::string db = bytes_of(path), wal = bytes_of(path + "-wal");
    long long now = kT0;
    uint64_t last = 0;
    for (int i = 0; i < 100; ++i, now += 1000) {
        last = append(st, i, i + 1, now);
        store_done(st, kStoreMqtt, last);
        store_tick(st, now);
    }
    EXPECT_EQ(bytes_of(path), db) << "connected: no write";
    EXPECT_EQ(bytes_of(path + "-wal"), wal) << "connected: no write";
    EXPECT_LE(store_status(st, now).since_commit_s, 5);
    // The backend goes away.
    for (int i = 100; i < 110; ++i, now += 1000) {
        append(st, i, i + 1, now, kStoreMqtt | kStoreHttp);
        store_tick(st, now);
    }
    EXPECT_NE(bytes_of(path + "-wal"), wal);
    EXPECT_GT(store_status(st, now).bytes, 0u);
    std::vector<uint64_t> seqs;
    EXPECT_EQ(walk(st, kStoreMqtt, &seqs), positions(100, 109));
    store_done(st, kStoreMqtt, seqs[0]);
    store_done(st, kStoreHttp, seqs[0]);
    store_done(st, kStoreMqtt, seqs[1]);
    store_close(st, now);

    st = store_open(&cfg, now);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(walk(st, kStoreMqtt), positions(102, 109));
    EXPECT_EQ(walk(st, kStoreHttp), positions(101, 109));
    EXPECT_EQ(store_status(st, now).pending, 9u);
    EXPECT_EQ(store_append(st, kStoreMqtt, "x", 1, now), seqs.back() + 1) << "no gap after a clean stop";
    store_close(st, now);
}

// A tiny store under a 10 Hz receiver and no backend: the files stay within
// the size (and one commit), the oldest go first and are counted.
TEST(Store, FlashStaysWithinItsSize)
{
    th::TempDir dir;
    const std::string path = dir.path + "/tiny.db";
    const StoreConfig cfg = flash_config(path, kStoreSizeMinKib);
    FleetStore* st = store_open(&cfg, kT0);
    ASSERT_NE(st, nullptr);
    long long now = kT0;
    const uint64_t total = 6000;
    uint64_t most = 0;
    for (uint64_t i = 0; i < total; ++i, now += 100) {
        append(st, i, i + 1, now);
        store_tick(st, now);
        most = std::max(most, th::read_file(path).size() + bytes_of(path + "-wal").size());
    }
    const StoreStatus s = store_status(st, now);
    EXPECT_LE(most, cfg.size_bytes + 16 * 1024) << "one commit of 50 positions beyond the size at most";
    EXPECT_GT(s.dropped, total / 2);
    EXPECT_EQ(s.pending + s.dropped, total);
    std::vector<uint64_t> seqs;
    const std::vector<std::string> kept = walk(st, kStoreMqtt, &seqs);
    ASSERT_EQ(kept.size(), s.pending);
    EXPECT_EQ(kept.back(), position(total - 1));
    EXPECT_EQ(kept.front(), position(s.dropped)) << "the oldest went";
    store_close(st, now);
}

// A file that is no sound store is moved aside with its log and a fresh
// store takes its place; one that cannot be a file at all leaves the store
// in memory. Neither loses what is appended after.
TEST(Store, DamagedOrUnusableFiles)
{
    struct Case {
        const char* legend;
        void (*make)(const std::string& path);
        const char* state;
        bool aside;
    };
    const Case cases[] = {
        {"random bytes", [](const std::string& p) { th::write_file(p, std::string(5000, '\x5a')); }, "flash", true},
        {"empty file", [](const std::string& p) { th::write_file(p, ""); }, "flash", false},
        {"another database",
         [](const std::string& p) {
             const StoreConfig c = flash_config(p);
             store_close(store_open(&c, kT0), kT0);
             std::string bytes = th::read_file(p);
             bytes[68] ^= 0x7f;  // the application id
             th::write_file(p, bytes);
         },
         "flash", true},
        {"damaged page",
         [](const std::string& p) {
             const StoreConfig c = flash_config(p);
             FleetStore* st = store_open(&c, kT0);
             append(st, 0, 200, kT0);
             store_close(st, kT0);
             std::string bytes = th::read_file(p);
             for (std::size_t i = 3 * 1024 + 100; i < 3 * 1024 + 900; ++i)
                 bytes[i] = '\x01';
             th::write_file(p, bytes);
         },
         "flash", true},
        {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }, "fallback", false},
    };
    for (const Case& c : cases) {
        th::TempDir dir;
        const std::string path = dir.path + "/fleet.db";
        c.make(path);
        const StoreConfig cfg = flash_config(path);
        FleetStore* st = store_open(&cfg, kT0);
        ASSERT_NE(st, nullptr) << c.legend;
        EXPECT_STREQ(store_status(st, kT0).state, c.state) << c.legend;
        EXPECT_EQ(th::file_exists(path + ".corrupt"), c.aside) << c.legend;
        EXPECT_TRUE(walk(st, kStoreMqtt).empty()) << c.legend;
        append(st, 0, 3, kT0);
        store_tick(st, kT0 + 5000);
        EXPECT_EQ(walk(st, kStoreMqtt), positions(0, 2)) << c.legend;
        store_close(st, kT0 + 5000);
    }
}

// A flash that fills up during a commit: logged, and the store goes on in
// memory with everything it held.
TEST_F(StoreOnFlash, FullFlashFallsBackToMemory)
{
    long long now = kT0;
    for (int i = 0; i < 20; ++i, now += 1000) {
        append(st, i, i + 1, now);
        store_tick(st, now);
    }
    // A file may grow no further than it is now.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = old;
    tight.rlim_cur = std::max(th::read_file(path).size(), bytes_of(path + "-wal").size());
    setrlimit(RLIMIT_FSIZE, &tight);
    for (int i = 20; i < 300; ++i, now += 1000) {
        append(st, i, i + 1, now);
        store_tick(st, now);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    const StoreStatus s = store_status(st, now);
    EXPECT_STREQ(s.state, "fallback");
    EXPECT_EQ(s.dropped, 0u);
    EXPECT_EQ(walk(st, kStoreMqtt), positions(0, 299));
    store_close(st, now);
}

namespace {

// The store's files as they lie on flash at one moment.
struct Files {
    std::string db, wal;
};

Files snapshot(const std::string& path)
{
    return {th::read_file(path), bytes_of(path + "-wal")};
}

void lay_down(const std::string& path, const Files& f)
{
    th::write_file(path, f.db);
    if (f.wal != "(none)")
        th::write_file(path + "-wal", f.wal);
    else
        std::remove((path + "-wal").c_str());
}

}  // namespace

// Power cuts at every point of a commit: the log cut short at each frame
// and within frames, its last page torn. The store opens, keeps every
// committed record and has the commit in progress either whole or not at all.
TEST_F(StoreOnFlash, PowerCutDuringACommit)
{
    append(st, 0, 30, kT0);
    store_tick(st, kT0 + 5000);
    const Files before = snapshot(path);
    append(st, 30, 60, kT0 + 5000);
    store_tick(st, kT0 + 10000);
    const Files after = snapshot(path);
    store_close(st, kT0 + 10000);
    ASSERT_EQ(after.db, before.db) << "no checkpoint between the two commits";
    ASSERT_GT(after.wal.size(), before.wal.size());

    std::vector<Files> cuts;
    constexpr std::size_t kFrame = 1024 + 24;
    for (std::size_t n = before.wal.size(); n < after.wal.size(); n += kFrame / 3)
        cuts.push_back({after.db, after.wal.substr(0, n)});
    Files torn = after;
    for (std::size_t i = torn.wal.size() - 600; i < torn.wal.size(); ++i)
        torn.wal[i] = static_cast<char>(i * 7);
    cuts.push_back(torn);
    cuts.push_back(after);
    const std::string cut_path = dir.path + "/cut.db";
    for (std::size_t k = 0; k < cuts.size(); ++k) {
        SCOPED_TRACE("cut " + std::to_string(k) + ", log of " + std::to_string(cuts[k].wal.size()) + " bytes");
        lay_down(cut_path, cuts[k]);
        const StoreConfig c = flash_config(cut_path);
        FleetStore* again = store_open(&c, kT0);
        ASSERT_NE(again, nullptr);
        EXPECT_STREQ(store_status(again, kT0).state, "flash");
        EXPECT_FALSE(th::file_exists(cut_path + ".corrupt"));
        const std::vector<std::string> kept = walk(again, kStoreMqtt);
        const bool whole = k + 1 == cuts.size();
        EXPECT_EQ(kept, positions(0, whole ? 59 : 29));
        store_close(again, kT0);
        std::remove((cut_path + "-wal").c_str());
    }
}

// kill -9 between commits: what was committed is there, in order, and the
// numbers handed out after the restart are above every one handed out
// before (the backend may have seen those).
TEST(Store, KilledBetweenCommits)
{
    th::TempDir dir;
    const std::string path = dir.path + "/fleet.db";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipefd[0]);
        const StoreConfig cfg = flash_config(path);
        FleetStore* st = store_open(&cfg, kT0);
        long long now = kT0;
        uint64_t seq = 0;
        for (int i = 0; i < 123; ++i, now += 1000) {
            seq = append(st, i, i + 1, now);
            // Taken by the backend at once, now and then.
            if (i % 10 == 0)
                store_done(st, kStoreMqtt, seq);
            store_tick(st, now);
        }
        if (write(pipefd[1], &seq, sizeof seq) != sizeof seq)
            _exit(1);
        raise(SIGKILL);
        _exit(1);
    }
    close(pipefd[1]);
    uint64_t last_seq = 0;
    ASSERT_EQ(read(pipefd[0], &last_seq, sizeof last_seq), static_cast<ssize_t>(sizeof last_seq));
    close(pipefd[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    const StoreConfig cfg = flash_config(path);
    FleetStore* st = store_open(&cfg, kT0);
    ASSERT_NE(st, nullptr);
    // Commits came at every fifth second: records 0 to 119 were committed.
    std::vector<std::string> want;
    for (uint64_t i = 0; i < 120; ++i) {
        if (i % 10 != 0)
            want.push_back(position(i));
    }
    std::vector<uint64_t> seqs;
    EXPECT_EQ(walk(st, kStoreMqtt, &seqs), want);
    EXPECT_GT(store_append(st, kStoreMqtt, "x", 1, kT0), last_seq);
    store_close(st, kT0);
}
