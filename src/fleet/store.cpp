// SPDX-License-Identifier: BSD-2-Clause
// The fleet store: records in memory until a commit, on flash (SQLite, write-ahead log) after it.
#include "fleet/store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "core/settings.h"
#include "outputs/burst_queue.h"
#include "outputs/mqtt.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

// Marks the file as this store's, so that some other database found at the
// path is never mistaken for one.
constexpr int kApplicationId = 0x676e7373;
// Small pages: a commit of a few positions rewrites a few of them, and a
// whole page goes to the log for each (an hour of outage at 1 Hz writes
// about 7 MB with these, 8.5 MB with 4 KiB pages).
constexpr int kPageSize = 1024;
// The page cache: enough for the tree's inner pages, the rest is flash.
constexpr int kCacheKib = 64;
// The write-ahead log's share of the size, and its bounds.
constexpr uint64_t kWalShareDiv = 8;
constexpr uint64_t kWalMinBytes = 16 * kPageSize;
constexpr uint64_t kWalMaxBytes = 256 * 1024;
// Sequence numbers handed out after a crash start behind the last reserved
// one; a reservation lasts this many records, so that a backend that takes
// every position as it comes costs no write for hours.
constexpr uint64_t kSeqReserve = 65536;
// How long a freshly taken record may wait for its acknowledgement before a
// commit writes it (at most half the sync period).
constexpr long long kFreshMs = 1000;
// How long an open waits for another process to let go of the store.
constexpr int kBusyMs = 3000;
// A full store is reported at most this often.
constexpr long long kDropLogMs = 60000;

enum class State { flash, memory, fallback };

const char* state_name(State s)
{
    switch (s) {
    case State::flash:
        return "flash";
    case State::memory:
        return "memory";
    case State::fallback:
        return "fallback";
    }
    return "memory";
}

// A record appended since the last commit, held in memory.
struct TailRecord {
    uint64_t seq;
    uint32_t targets;  // 0: done by every output, waits to be popped
    std::string payload;
    long long taken_ms;  // when it was appended
};

// A record on flash that some output was done with since the last commit.
struct DoneMark {
    uint64_t seq;
    uint32_t left;  // outputs still waiting for it after this commit
};

}  // namespace

struct FleetStore {
    StoreConfig cfg;
    State state;
    sqlite3* db;
    sqlite3_stmt* next_stmt;  // the oldest of a target on flash
    sqlite3_stmt* targets_stmt;
    uint64_t next_seq;
    uint64_t reserved_seq;   // written: the first number a restart may use
    uint64_t committed_seq;  // every record up to it is on flash or done
    uint64_t flash_pending;  // records on flash some output waits for
    std::deque<TailRecord> tail;
    uint64_t tail_pending;
    uint64_t tail_bytes;
    std::vector<DoneMark> done;  // by seq
    uint64_t dropped;
    long long drop_logged_ms;
    long long last_commit_ms;
    uint64_t file_bytes;
    uint64_t page_size;  // as the file has it
    char out[kStorePayloadMax];
};

namespace {

uint32_t memory_limit(const FleetStore* st)
{
    return st->cfg.memory_limit ? st->cfg.memory_limit : kMqttBacklogDefault;
}

uint64_t wal_bytes(const FleetStore* st)
{
    return std::clamp(st->cfg.size_bytes / kWalShareDiv, kWalMinBytes, kWalMaxBytes);
}

uint64_t file_size(const char* path)
{
    struct stat sb;
    return stat(path, &sb) == 0 ? static_cast<uint64_t>(sb.st_size) : 0;
}

// The companion file SQLite keeps beside the store ("-wal", "-journal").
void side_path(const char* path, const char* suffix, char* buf, std::size_t size)
{
    std::snprintf(buf, size, "%s%s", path, suffix);
}

uint64_t files_bytes(const char* path)
{
    char wal[kPlatPathMax + 8];
    side_path(path, "-wal", wal, sizeof wal);
    return file_size(path) + file_size(wal);
}

// The first column of the first row of a query as an integer; fallback when
// the query fails or yields nothing.
long long query_int(sqlite3* db, const char* sql, long long fallback)
{
    sqlite3_stmt* s = nullptr;
    long long v = fallback;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return v;
}

void close_db(FleetStore* st)
{
    sqlite3_finalize(st->next_stmt);
    sqlite3_finalize(st->targets_stmt);
    st->next_stmt = nullptr;
    st->targets_stmt = nullptr;
    if (st->db)
        sqlite3_close_v2(st->db);
    st->db = nullptr;
}

// The store as an operator knows it: the router path, where the process
// opens it by a name relative to its working directory.
const char* shown_path(const FleetStore* st)
{
    return st->cfg.shown[0] ? st->cfg.shown : st->cfg.path;
}

// What an open or a commit that failed means for the file.
enum class Fault { none, corrupt, flash };

Fault classify(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return Fault::none;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
        return Fault::corrupt;
    default:
        return Fault::flash;
    }
}

// Moves a damaged store and its log aside, so that a fresh one can start
// and the old one can still be looked at. False when the store itself could
// not be moved: it is then left as it is, never removed.
bool move_aside(const char* path, const char* shown)
{
    char to[kPlatPathMax + 32], from[kPlatPathMax + 16];
    std::snprintf(to, sizeof to, "%s.corrupt", path);
    if (std::rename(path, to) != 0 && errno != ENOENT) {
        log_msg(LOG_ERR, "store: %s is damaged or no store and cannot be moved aside: %s", shown, std::strerror(errno));
        return false;
    }
    // A log left beside a fresh store would be replayed into it.
    for (const char* suffix : {"-wal", "-journal"}) {
        side_path(path, suffix, from, sizeof from);
        std::snprintf(to, sizeof to, "%s.corrupt%s", path, suffix);
        if (std::rename(from, to) != 0 && errno != ENOENT)
            std::remove(from);
    }
    log_msg(LOG_WARNING, "store: %s is damaged or no store, moved aside to %s.corrupt; starting a fresh one", shown,
            shown);
    return true;
}

// Where the numbers start without a store to go on from: the wall clock's
// milliseconds, which run faster than any receiver hands out numbers, so
// they still grow across restarts as long as the router's clock does.
uint64_t clock_seq()
{
    return static_cast<uint64_t>(clock_wall_ms()) + 1;
}

// The fleet process reaches its store by a name relative to its working
// directory, which it entered while it was still root: the directories above
// may be closed to the user it runs as. SQLite's own file layer makes every
// name absolute before it opens it, which such a user could not; this layer
// is that one with relative names left as they are.
sqlite3_vfs g_relative_vfs;
int (*g_absolute_name)(sqlite3_vfs*, const char*, int, char*) = nullptr;

int relative_name(sqlite3_vfs* vfs, const char* name, int size, char* out)
{
    if (name[0] == '/')
        return g_absolute_name(vfs, name, size, out);
    const int n = std::snprintf(out, static_cast<std::size_t>(size), "%s", name);
    return n >= 0 && n < size ? SQLITE_OK : SQLITE_CANTOPEN;
}

const char* relative_vfs()
{
    if (g_absolute_name == nullptr) {
        sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
        if (base == nullptr)
            return nullptr;
        g_relative_vfs = *base;
        g_relative_vfs.zName = "gnssd-relative";
        g_absolute_name = base->xFullPathname;
        g_relative_vfs.xFullPathname = relative_name;
        if (sqlite3_vfs_register(&g_relative_vfs, 0) != SQLITE_OK) {
            g_absolute_name = nullptr;
            return nullptr;
        }
    }
    return g_relative_vfs.zName;
}

// Opens the file and checks that it is a sound store of ours (or makes an
// empty file one). Returns the SQLite code of the first failure, with
// SQLITE_NOTADB standing for a file that is not a store.
int open_db(FleetStore* st)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(st->cfg.path, &st->db, flags, relative_vfs());
    if (rc != SQLITE_OK)
        return rc;
    // A fleet process that is still stopping holds the store until its last
    // commit is done; the next one waits for that rather than do without.
    sqlite3_busy_timeout(st->db, kBusyMs);
    char sql[512];
    // Exclusive locking before the log: no shared-memory file, which some
    // flash file systems cannot map. Commits are synced (FULL), but only
    // once per sync period; the log is checkpointed by the commit that takes
    // it past its share (see commit). No temporary files elsewhere: the
    // process may reach no other directory.
    std::snprintf(sql, sizeof sql,
                  "PRAGMA locking_mode=EXCLUSIVE; PRAGMA page_size=%d; PRAGMA cache_size=-%d;"
                  "PRAGMA synchronous=FULL; PRAGMA wal_autocheckpoint=0; PRAGMA temp_store=MEMORY;",
                  kPageSize, kCacheKib);
    rc = sqlite3_exec(st->db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    // A file system that cannot hold the log leaves the journal as it was.
    sqlite3_stmt* mode = nullptr;
    rc = sqlite3_prepare_v2(st->db, "PRAGMA journal_mode=WAL", -1, &mode, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(mode);
    const bool wal_on = rc == SQLITE_ROW &&
                        std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") == 0;
    sqlite3_finalize(mode);
    if (!wal_on)
        return rc == SQLITE_ROW || rc == SQLITE_OK ? SQLITE_CANTOPEN : rc;
    sqlite3_stmt* check = nullptr;
    rc = sqlite3_prepare_v2(st->db, "PRAGMA quick_check", -1, &check, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    rc = sqlite3_step(check);
    const bool sound = rc == SQLITE_ROW &&
                       std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") == 0;
    sqlite3_finalize(check);
    if (!sound)
        return rc == SQLITE_ROW ? SQLITE_CORRUPT : rc;
    const long long app = query_int(st->db, "PRAGMA application_id", -1);
    const long long tables = query_int(st->db, "SELECT count(*) FROM sqlite_schema", -1);
    if (app < 0 || tables < 0)
        return SQLITE_IOERR;
    if (app == 0 && tables == 0) {
        std::snprintf(sql, sizeof sql,
                      "BEGIN; PRAGMA application_id=%d;"
                      "CREATE TABLE record(seq INTEGER PRIMARY KEY, targets INTEGER NOT NULL, payload BLOB NOT NULL);"
                      "CREATE TABLE meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID; COMMIT;",
                      kApplicationId);
        rc = sqlite3_exec(st->db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return rc;
    } else if (app != kApplicationId) {
        return SQLITE_NOTADB;
    }
    rc = sqlite3_prepare_v3(st->db,
                            "SELECT seq, targets, payload FROM record WHERE seq > ?1 AND targets & ?2 ORDER BY seq", -1,
                            SQLITE_PREPARE_PERSISTENT, &st->next_stmt, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v3(st->db, "SELECT targets FROM record WHERE seq = ?1", -1, SQLITE_PREPARE_PERSISTENT,
                                &st->targets_stmt, nullptr);
    if (rc != SQLITE_OK)
        return rc == SQLITE_ERROR ? SQLITE_NOTADB : rc;
    st->page_size = static_cast<uint64_t>(query_int(st->db, "PRAGMA page_size", kPageSize));
    const long long reserved = query_int(st->db, "SELECT value FROM meta WHERE name = 'seq'", 0);
    const long long top = query_int(st->db, "SELECT max(seq) FROM record", 0);
    const long long count = query_int(st->db, "SELECT count(*) FROM record WHERE targets <> 0", -1);
    if (count < 0)
        return SQLITE_IOERR;
    st->next_seq = std::max<uint64_t>({1, static_cast<uint64_t>(reserved), static_cast<uint64_t>(top) + 1});
    // A fresh store (also one that replaced a damaged one) goes on from the
    // clock, above what the router handed out before it.
    if (reserved == 0 && top == 0)
        st->next_seq = clock_seq();
    st->reserved_seq = static_cast<uint64_t>(reserved);
    st->committed_seq = st->next_seq - 1;
    st->flash_pending = static_cast<uint64_t>(count);
    return SQLITE_OK;
}

void note_dropped(FleetStore* st, uint64_t n, long long now_ms)
{
    st->dropped += n;
    if (n == 0 || (st->drop_logged_ms != 0 && now_ms - st->drop_logged_ms < kDropLogMs))
        return;
    log_msg(LOG_WARNING, "%s - backlog full, oldest positions dropped: %llu (%s)", "store",
            static_cast<unsigned long long>(st->dropped), shown_path(st));
    st->drop_logged_ms = now_ms;
}

void pop_done(FleetStore* st)
{
    while (!st->tail.empty() && st->tail.front().targets == 0) {
        st->tail_bytes -= st->tail.front().payload.size();
        st->tail.pop_front();
    }
}

// Keeps what is held in memory within its bounds, the oldest going first.
void trim_tail(FleetStore* st, long long now_ms)
{
    uint64_t dropped = 0;
    while (st->tail_pending > memory_limit(st) || st->tail_bytes > kBacklogBytes) {
        TailRecord& r = st->tail.front();
        if (r.targets != 0) {
            st->tail_pending -= 1;
            ++dropped;
        }
        r.targets = 0;
        pop_done(st);
    }
    note_dropped(st, dropped, now_ms);
}

// The flash has failed: what it held that memory can take is taken, and the
// store goes on without it.
void fall_back(FleetStore* st, int rc, long long now_ms)
{
    log_msg(LOG_ERR, "store: %s: %s; positions are kept in memory only from now on", shown_path(st),
            sqlite3_errstr(rc));
    std::deque<TailRecord> old;
    uint64_t lost = 0;
    if (st->db && st->next_stmt) {
        sqlite3_reset(st->next_stmt);
        sqlite3_bind_int64(st->next_stmt, 1, 0);
        sqlite3_bind_int64(st->next_stmt, 2, 0xffffffff);
        while (sqlite3_step(st->next_stmt) == SQLITE_ROW) {
            TailRecord r{static_cast<uint64_t>(sqlite3_column_int64(st->next_stmt, 0)),
                         static_cast<uint32_t>(sqlite3_column_int64(st->next_stmt, 1)),
                         std::string(static_cast<const char*>(sqlite3_column_blob(st->next_stmt, 2)),
                                     static_cast<std::size_t>(sqlite3_column_bytes(st->next_stmt, 2)))};
            auto m = std::lower_bound(st->done.begin(), st->done.end(), r.seq,
                                      [](const DoneMark& d, uint64_t seq) { return d.seq < seq; });
            if (m != st->done.end() && m->seq == r.seq)
                r.targets = m->left;
            if (r.targets == 0)
                continue;
            old.push_back(std::move(r));
            if (old.size() > memory_limit(st)) {
                old.pop_front();
                ++lost;
            }
        }
        sqlite3_reset(st->next_stmt);
    }
    // Whatever the flash still held but could not be read is counted too.
    const uint64_t read = old.size() + lost;
    if (st->flash_pending > read)
        lost += st->flash_pending - read;
    close_db(st);
    st->state = State::fallback;
    st->flash_pending = 0;
    st->done.clear();
    for (auto it = old.rbegin(); it != old.rend(); ++it) {
        st->tail_bytes += it->payload.size();
        st->tail_pending += 1;
        st->tail.push_front(std::move(*it));
    }
    note_dropped(st, lost, now_ms);
    trim_tail(st, now_ms);
}

// Deletes the oldest records until the store's pages fit its share of the
// size, less what this commit brings (incoming bytes): the log holds that
// commit on top of its own share until the next checkpoint, and freed pages
// are reused by later commits, so the files stay within the size plus one
// commit.
int trim_flash(FleetStore* st, uint64_t incoming, uint64_t* dropped)
{
    const uint64_t reserved = wal_bytes(st) + incoming + incoming / 4;
    const uint64_t budget = st->cfg.size_bytes - std::min(st->cfg.size_bytes, reserved);
    for (;;) {
        const long long pages = query_int(st->db, "PRAGMA page_count", -1);
        const long long free_pages = query_int(st->db, "PRAGMA freelist_count", -1);
        if (pages < 0 || free_pages < 0)
            return SQLITE_IOERR;
        const uint64_t used = static_cast<uint64_t>(pages - free_pages) * st->page_size;
        if (used <= budget)
            return SQLITE_OK;
        // About as many records as the excess holds, at least one page's worth.
        const uint64_t n = std::max<uint64_t>(4, (used - budget) / 128);
        char sql[160];
        std::snprintf(sql, sizeof sql,
                      "DELETE FROM record WHERE seq IN (SELECT seq FROM record ORDER BY seq LIMIT %llu)",
                      static_cast<unsigned long long>(n));
        const int rc = sqlite3_exec(st->db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return rc;
        const int gone = sqlite3_changes(st->db);
        if (gone == 0)
            return SQLITE_OK;
        *dropped += static_cast<uint64_t>(gone);
    }
}

// One transaction: the marks of the outputs, the records still waiting in
// memory, the reserved sequence numbers, then the size bound.
int write_commit(FleetStore* st, uint64_t reserve, uint64_t* dropped, uint64_t* written)
{
    int rc = sqlite3_exec(st->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_stmt* del = nullptr;
    sqlite3_stmt* upd = nullptr;
    sqlite3_stmt* ins = nullptr;
    rc = sqlite3_prepare_v2(st->db, "DELETE FROM record WHERE seq = ?1", -1, &del, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(st->db, "UPDATE record SET targets = ?2 WHERE seq = ?1", -1, &upd, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(st->db, "INSERT INTO record(seq, targets, payload) VALUES(?1, ?2, ?3)", -1, &ins,
                                nullptr);
    for (std::size_t i = 0; rc == SQLITE_OK && i < st->done.size(); ++i) {
        sqlite3_stmt* s = st->done[i].left ? upd : del;
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(st->done[i].seq));
        if (st->done[i].left)
            sqlite3_bind_int64(s, 2, st->done[i].left);
        rc = sqlite3_step(s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(st->db);
        sqlite3_reset(s);
    }
    for (const TailRecord& r : st->tail) {
        if (rc != SQLITE_OK)
            break;
        if (r.targets == 0)
            continue;
        sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(r.seq));
        sqlite3_bind_int64(ins, 2, r.targets);
        sqlite3_bind_blob(ins, 3, r.payload.data(), static_cast<int>(r.payload.size()), SQLITE_STATIC);
        rc = sqlite3_step(ins) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(st->db);
        sqlite3_reset(ins);
        *written += 1;
    }
    sqlite3_finalize(del);
    sqlite3_finalize(upd);
    sqlite3_finalize(ins);
    if (rc == SQLITE_OK && reserve != st->reserved_seq) {
        char sql[96];
        std::snprintf(sql, sizeof sql, "INSERT OR REPLACE INTO meta(name, value) VALUES('seq', %llu)",
                      static_cast<unsigned long long>(reserve));
        rc = sqlite3_exec(st->db, sql, nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK)
        rc = trim_flash(st, st->tail_bytes, dropped);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(st->db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        const int cause = rc;
        sqlite3_exec(st->db, "ROLLBACK", nullptr, nullptr, nullptr);
        return cause;
    }
    return SQLITE_OK;
}

// Brings what waits to flash. exact: a clean stop, after which the next
// start goes on with the very next number.
// Whether a commit now would write only records that have just been taken:
// those the backend acknowledges within moments. Such a commit waits a
// little; a record then still waiting is written at most twice that grace
// after it was taken, within the sync period.
bool only_fresh(const FleetStore* st, long long now_ms, long long grace_ms)
{
    if (!st->done.empty() || st->tail_pending == 0)
        return false;
    for (const TailRecord& r : st->tail) {
        if (r.targets != 0 && now_ms - r.taken_ms >= grace_ms)
            return false;
    }
    return true;
}

void commit(FleetStore* st, long long now_ms, bool exact)
{
    const long long grace_ms = std::min<long long>(kFreshMs, st->cfg.sync_ms / 2);
    if (!exact && st->state == State::flash && st->next_seq + kSeqReserve / 2 <= st->reserved_seq &&
        only_fresh(st, now_ms, grace_ms)) {
        st->last_commit_ms = now_ms - st->cfg.sync_ms + grace_ms;
        return;
    }
    st->last_commit_ms = now_ms;
    if (st->state != State::flash)
        return;
    uint64_t reserve = st->reserved_seq;
    if (exact)
        reserve = st->next_seq;
    else if (st->next_seq + kSeqReserve / 2 > st->reserved_seq)
        reserve = st->next_seq + kSeqReserve;
    if (st->tail_pending == 0 && st->done.empty() && reserve == st->reserved_seq) {
        st->tail.clear();
        st->tail_bytes = 0;
        st->committed_seq = st->next_seq - 1;
        return;
    }
    uint64_t dropped = 0, written = 0;
    const int rc = write_commit(st, reserve, &dropped, &written);
    if (rc != SQLITE_OK) {
        if (classify(rc) == Fault::corrupt) {
            // The records on flash are lost with the file; those in memory
            // go to the fresh one at the next commit.
            note_dropped(st, st->flash_pending, now_ms);
            st->flash_pending = 0;
            close_db(st);
            const uint64_t next = st->next_seq;
            const int again = move_aside(st->cfg.path, shown_path(st)) ? open_db(st) : SQLITE_CANTOPEN;
            st->next_seq = std::max(next, st->next_seq);
            st->done.clear();
            if (again != SQLITE_OK)
                fall_back(st, again, now_ms);
            return;
        }
        fall_back(st, rc, now_ms);
        return;
    }
    for (const DoneMark& d : st->done) {
        if (d.left == 0 && st->flash_pending > 0)
            st->flash_pending -= 1;
    }
    st->flash_pending += written;
    st->flash_pending -= std::min(st->flash_pending, dropped);
    st->done.clear();
    st->tail.clear();
    st->tail_pending = 0;
    st->tail_bytes = 0;
    st->reserved_seq = reserve;
    st->committed_seq = st->next_seq - 1;
    // Checkpointed and cut to nothing once past its share, the log never
    // holds more than its share at rest (and one commit beyond it while it
    // is written); a failed checkpoint is tried again after the next commit.
    char wal[kPlatPathMax + 8];
    side_path(st->cfg.path, "-wal", wal, sizeof wal);
    if (file_size(wal) > wal_bytes(st))
        sqlite3_wal_checkpoint_v2(st->db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    st->file_bytes = files_bytes(st->cfg.path);
    note_dropped(st, dropped, now_ms);
}

uint32_t parse_key(const char* text, uint32_t fallback, const char* key)
{
    if (!text || text[0] == '\0')
        return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || v > UINT32_MAX || text[0] == '-') {
        log_msg(LOG_WARNING, "settings: %s=\"%.32s\" is not a number, read as %u", key, text,
                static_cast<unsigned>(fallback));
        return fallback;
    }
    return static_cast<uint32_t>(v);
}

}  // namespace

void store_config(const StoreSettings* s, StoreConfig* c)
{
    *c = StoreConfig{};
    const char* path = s && s->path && s->path[0] ? s->path : kStorePathDefault;
    std::snprintf(c->path, sizeof c->path, "%s", path);
    uint64_t kib = parse_key(s ? s->size : nullptr, kStoreSizeDefaultKib, "MOD_GPS_STORE_SIZE");
    if (kib != 0 && kib < kStoreSizeMinKib) {
        log_msg(LOG_NOTICE, "settings: MOD_GPS_STORE_SIZE=%u is below the least the store needs, %u KiB used",
                static_cast<unsigned>(kib), static_cast<unsigned>(kStoreSizeMinKib));
        kib = kStoreSizeMinKib;
    }
    c->size_bytes = kib * 1024;
    const uint32_t sync = parse_key(s ? s->sync : nullptr, kStoreSyncDefaultSec, "MOD_GPS_STORE_SYNC");
    c->sync_ms = std::min(sync, kStoreSyncMaxSec) * 1000u;
}

FleetStore* store_open(const StoreConfig* config, long long now_ms)
{
    auto* st = new (std::nothrow) FleetStore{};
    if (!st)
        return nullptr;
    st->cfg = *config;
    st->last_commit_ms = now_ms;
    if (st->cfg.size_bytes == 0) {
        st->state = State::memory;
        st->next_seq = clock_seq();
        return st;
    }
    st->state = State::flash;
    int rc = open_db(st);
    if (classify(rc) == Fault::corrupt) {
        close_db(st);
        rc = move_aside(st->cfg.path, shown_path(st)) ? open_db(st) : SQLITE_CANTOPEN;
    }
    if (rc != SQLITE_OK) {
        st->next_seq = std::max(st->next_seq, clock_seq());
        fall_back(st, rc, now_ms);
    }
    // The numbers a crash may have handed out are reserved before the
    // first record leaves.
    commit(st, now_ms, false);
    st->file_bytes = st->db ? files_bytes(st->cfg.path) : 0;
    return st;
}

uint64_t store_append(FleetStore* st, uint32_t targets, const char* payload, std::size_t length, long long now_ms)
{
    if (!st || targets == 0 || length == 0 || length > kStorePayloadMax)
        return 0;
    const uint64_t seq = st->next_seq++;
    st->tail.push_back(TailRecord{seq, targets, std::string(payload, length), now_ms});
    st->tail_pending += 1;
    st->tail_bytes += length;
    trim_tail(st, now_ms);
    // A number beyond the reservation would be handed out again after a
    // crash: reserve more before the record leaves.
    if (st->state == State::flash && st->next_seq > st->reserved_seq)
        commit(st, now_ms, false);
    return seq;
}

uint64_t store_peek_seq(const FleetStore* st)
{
    return st ? st->next_seq : 0;
}

int store_next(FleetStore* st, uint32_t target, uint64_t after, StoreRecord* out)
{
    if (!st || !out)
        return 0;
    if (st->db && after < st->committed_seq) {
        sqlite3_stmt* s = st->next_stmt;
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(after));
        sqlite3_bind_int64(s, 2, target);
        while (sqlite3_step(s) == SQLITE_ROW) {
            const auto seq = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
            auto m = std::lower_bound(st->done.begin(), st->done.end(), seq,
                                      [](const DoneMark& d, uint64_t v) { return d.seq < v; });
            if (m != st->done.end() && m->seq == seq && (m->left & target) == 0)
                continue;
            const auto n = static_cast<std::size_t>(sqlite3_column_bytes(s, 2));
            const void* blob = sqlite3_column_blob(s, 2);
            const std::size_t length = std::min(n, sizeof st->out);
            if (length > 0)
                std::memcpy(st->out, blob, length);
            sqlite3_reset(s);
            *out = StoreRecord{seq, st->out, length};
            return 1;
        }
        sqlite3_reset(s);
    }
    auto it = std::upper_bound(st->tail.begin(), st->tail.end(), after,
                               [](uint64_t v, const TailRecord& r) { return v < r.seq; });
    for (; it != st->tail.end(); ++it) {
        if (it->targets & target) {
            *out = StoreRecord{it->seq, it->payload.data(), it->payload.size()};
            return 1;
        }
    }
    return 0;
}

void store_done(FleetStore* st, uint32_t target, uint64_t seq)
{
    if (!st || target == 0)
        return;
    if (!st->tail.empty() && seq >= st->tail.front().seq) {
        auto it = std::lower_bound(st->tail.begin(), st->tail.end(), seq,
                                   [](const TailRecord& r, uint64_t v) { return r.seq < v; });
        if (it == st->tail.end() || it->seq != seq || (it->targets & target) == 0)
            return;
        it->targets &= ~target;
        if (it->targets == 0)
            st->tail_pending -= 1;
        pop_done(st);
        return;
    }
    if (!st->db || seq > st->committed_seq)
        return;
    auto m = std::lower_bound(st->done.begin(), st->done.end(), seq,
                              [](const DoneMark& d, uint64_t v) { return d.seq < v; });
    if (m == st->done.end() || m->seq != seq) {
        sqlite3_stmt* s = st->targets_stmt;
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(seq));
        const bool found = sqlite3_step(s) == SQLITE_ROW;
        const auto targets = found ? static_cast<uint32_t>(sqlite3_column_int64(s, 0)) : 0u;
        sqlite3_reset(s);
        if ((targets & target) == 0)
            return;
        m = st->done.insert(m, DoneMark{seq, targets});
    }
    m->left &= ~target;
}

void store_tick(FleetStore* st, long long now_ms)
{
    if (st && now_ms - st->last_commit_ms >= st->cfg.sync_ms)
        commit(st, now_ms, false);
}

StoreStatus store_status(const FleetStore* st, long long now_ms)
{
    StoreStatus s{};
    if (!st)
        return s;
    s.path = shown_path(st);
    s.state = state_name(st->state);
    uint64_t flash_left = st->flash_pending;
    for (const DoneMark& d : st->done) {
        if (d.left == 0 && flash_left > 0)
            flash_left -= 1;
    }
    s.pending = flash_left + st->tail_pending;
    s.dropped = st->dropped;
    s.bytes = st->db ? st->file_bytes : 0;
    s.since_commit_s = (now_ms - st->last_commit_ms) / 1000;
    return s;
}

void store_close(FleetStore* st, long long now_ms)
{
    if (!st)
        return;
    commit(st, now_ms, true);
    close_db(st);
    delete st;
}
