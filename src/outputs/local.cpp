// SPDX-License-Identifier: BSD-2-Clause
// Local NMEA outputs: lazily opened serial ports and the "/dev/nmea" pseudo-terminal.
#include "outputs/local.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "receiver/lock.h"
#include "receiver/serial.h"

namespace {

constexpr long long kLockRetryMs = 1000;
// Group that owns "/dev/nmea" and its slave on the router.
constexpr gid_t kDaemonsGid = 999;
constexpr const char* kDaemonsGroup = "deamons";

// What a "/dev/nmea" queue may hold at most, as far as the service can tell:
// a tenth of a second of a flood, so that a reader who keeps up but is not
// scheduled for a moment loses nothing.
constexpr uint32_t kPtyQueueMax = 32768;
// At the receiver's pace a queue is held below what the terminal itself
// takes (about 19 KiB on Linux), so that a lagging reader loses its oldest
// sentences, never the newest: when the next batch would take it past this,
// the oldest sentences are taken back down to kPtyKeepMax. A reader who
// stopped costs one take-back per several batches, not one per batch, and
// the terminal takes what is put back in one write.
constexpr uint32_t kPtyRoomMax = 16384;
constexpr uint32_t kPtyKeepMax = 8192;
// The slave counts exactly only what its line discipline holds (4095 bytes at
// most); beyond about this much the rest may wait in the terminal's buffers,
// unseen, and the count says nothing about how far a reader has got.
constexpr int kPtyCountedMax = 3072;
// The terminal hands written bytes to the reader's side on a kernel worker:
// until that has run, the queue cannot be measured or discarded safely.
constexpr int64_t kPtyInFlightMs = 50;
// Room for the rest of a batch the terminal took only in part.
constexpr std::size_t kPtyTailMax = 2048;
// The last bytes the terminal took, enough to finish the sentence a reader
// is inside whatever the queue holds.
constexpr std::size_t kPtyRingSize = 2 * kPtyQueueMax;
// Batches that may still be queued (each at least one sentence).
constexpr int kPtyBatchMax = 128;
// Bytes written this recently may still be on their way when the service
// judges whether a batch fits. A tighter bound than kPtyInFlightMs, which
// makes a queue safe to take back: over that long a flood is far more than
// the queue may hold, and a reader who keeps up would lose batches.
constexpr int64_t kPtyArrivingMs = 5;
// Writes remembered for what may still be on its way: more than one flood
// of writes within kPtyArrivingMs.
constexpr std::size_t kPtyMarkCount = 128;
// How long a stop waits for a reader to take the rest of its sentence.
constexpr int64_t kPtyCloseWaitMs = 1000;

// The one pseudo-terminal of the service: the slave stays open for as long as
// the pseudo-terminal exists so that its line settings survive readers coming
// and going, and so that readers never see a hang-up when they close.
struct Pty {
    Fd slave;  // non-blocking: the service takes a stale queue back through it
    char slave_path[128] = {};
    uint64_t written = 0;           // bytes the terminal has taken since it was made
    uint64_t read_to = 0;           // how far readers have got at least
    uint64_t rest_at = UINT64_MAX;  // where the rest of a cut sentence was put back
    char ring[kPtyRingSize] = {};   // the last of them, at written % kPtyRingSize
    struct Batch {
        uint64_t end;              // written after the batch
        int64_t at;                // when it went in
    } batches[kPtyBatchMax] = {};  // oldest first: what a reader may not have finished
    int batch_count = 0;
    // The last writes, read or not, newest at (mark_count - 1) % kPtyMarkCount:
    // what may still be on its way to the reader's side.
    Batch marks[kPtyMarkCount] = {};
    std::size_t mark_count = 0;
    int64_t last_ms = 0;          // when bytes last went in
    char tail[kPtyTailMax] = {};  // what a partial write left of a batch
    std::size_t tail_len = 0;
    char kept[kPtyKeepMax] = {};  // the newest whole sentences, put back after a take-back
};
Pty g_pty;

// Bytes waiting for readers; -1 when the terminal cannot tell.
int pty_queued()
{
    int visible = 0;
    return ioctl(g_pty.slave.get(), FIONREAD, &visible) == 0 ? visible : -1;
}

// Notes bytes the terminal has taken.
void pty_taken(const char* data, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i)
        g_pty.ring[(g_pty.written + i) % kPtyRingSize] = data[i];
    g_pty.written += len;
}

// Ends a batch of bytes taken at now_ms.
void pty_batch(int64_t now_ms)
{
    g_pty.last_ms = now_ms;
    g_pty.marks[g_pty.mark_count++ % kPtyMarkCount] = {g_pty.written, now_ms};
    if (g_pty.batch_count > 0 && g_pty.batches[g_pty.batch_count - 1].end == g_pty.written)
        return;
    if (g_pty.batch_count == kPtyBatchMax) {
        std::memmove(g_pty.batches, g_pty.batches + 1, sizeof g_pty.batches[0] * (kPtyBatchMax - 1));
        --g_pty.batch_count;
    }
    g_pty.batches[g_pty.batch_count++] = {g_pty.written, now_ms};
}

// Bytes that may not have reached the reader's side yet: those of the batches
// written within kPtyArrivingMs. UINT64_MAX when the batches kept do not tell.
uint64_t pty_in_flight(int64_t now_ms)
{
    for (std::size_t i = 1; i <= kPtyMarkCount && i <= g_pty.mark_count; ++i) {
        const Pty::Batch& m = g_pty.marks[(g_pty.mark_count - i) % kPtyMarkCount];
        if (now_ms - m.at >= kPtyArrivingMs)
            return g_pty.written - m.end;
    }
    return g_pty.mark_count <= kPtyMarkCount ? g_pty.written : UINT64_MAX;
}

// Forgets batches readers have finished.
void pty_forget_read()
{
    int done = 0;
    while (done < g_pty.batch_count && g_pty.batches[done].end <= g_pty.read_to)
        ++done;
    std::memmove(g_pty.batches, g_pty.batches + done, sizeof g_pty.batches[0] * (g_pty.batch_count - done));
    g_pty.batch_count -= done;
}

// Writes pieces (total bytes) into the terminal. Where it takes them only in
// part and stops inside a sentence, the rest of that sentence goes first next
// time and the whole sentences behind it are dropped. false: the terminal
// failed.
bool pty_put(int fd, const struct iovec* pieces, int count, std::size_t total, int64_t now_ms)
{
    ssize_t n = writev(fd, pieces, count);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    if (n < 0)
        n = 0;
    const auto done = static_cast<std::size_t>(n);
    std::size_t skip = done;
    for (int i = 0; i < count && skip > 0; ++i) {
        const std::size_t len = pieces[i].iov_len < skip ? pieces[i].iov_len : skip;
        pty_taken(static_cast<const char*>(pieces[i].iov_base), len);
        skip -= len;
    }
    if (done > 0)
        pty_batch(now_ms);
    if (done == 0 || done == total || g_pty.ring[(g_pty.written - 1) % kPtyRingSize] == '\n')
        return true;
    skip = done;
    for (int i = 0; i < count; ++i) {
        const std::size_t len = pieces[i].iov_len;
        const std::size_t from = skip < len ? skip : len;
        skip -= from;
        const char* rest = static_cast<const char*>(pieces[i].iov_base) + from;
        const void* nl = std::memchr(rest, '\n', len - from);
        std::size_t want = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - rest) + 1 : len - from;
        if (want > kPtyTailMax - g_pty.tail_len)
            want = kPtyTailMax - g_pty.tail_len;
        std::memcpy(g_pty.tail + g_pty.tail_len, rest, want);
        g_pty.tail_len += want;
        if (nl)
            break;
    }
    return true;
}

// Takes the oldest sentences back without cutting the one a reader is
// inside: the service takes everything back through its own slave (each
// read is atomic against the reader's, so what it gets tells exactly where
// the reader stopped), then puts back the rest of that one sentence and, up
// to keep bytes, the newest whole sentences behind it, ahead of anything new.
// Must not run while written bytes may still be on their way. true: a rest
// was put back.
bool pty_discard(int master, int64_t now_ms, uint64_t keep = 0)
{
    uint64_t taken = 0;
    char scratch[4096];
    // What waits in the terminal's buffers moves on to the slave only as
    // room is made there, on a kernel worker: the queue is empty once
    // nothing more comes for a moment.
    for (int round = 0; round < 64 && taken < (1u << 20); ++round) {
        for (ssize_t n; (n = read(g_pty.slave.get(), scratch, sizeof scratch)) > 0 && taken < (1u << 20);)
            taken += static_cast<uint64_t>(n);
        pollfd p{g_pty.slave.get(), POLLIN, 0};
        if (clock_poll_real(&p, 1, 10) <= 0)
            break;
    }
    const uint64_t reader_at = g_pty.written - (taken < g_pty.written ? taken : g_pty.written);
    char rest[kPtyTailMax];
    std::size_t rest_len = 0;
    // A reader that has not started on a rest put back earlier is inside
    // that sentence, although the byte before it ends one.
    bool ended = reader_at == 0 || (g_pty.ring[(reader_at - 1) % kPtyRingSize] == '\n' && reader_at != g_pty.rest_at);
    const bool reader_between = ended;
    const uint64_t oldest = g_pty.written > kPtyRingSize ? g_pty.written - kPtyRingSize : 0;
    uint64_t at = reader_at < oldest ? oldest : reader_at;
    for (; !ended && at < g_pty.written; ++at) {
        rest[rest_len++] = g_pty.ring[at % kPtyRingSize];
        ended = rest[rest_len - 1] == '\n' || rest_len == sizeof rest;
    }
    // The newest whole sentences behind the rest: from a sentence start to
    // the end of the last whole sentence taken.
    uint64_t end = g_pty.written;
    while (end > at && g_pty.ring[(end - 1) % kPtyRingSize] != '\n')
        --end;
    uint64_t start = end - std::min(end - at, std::min<uint64_t>(keep, kPtyKeepMax));
    const auto sentence_starts = [&](uint64_t pos) {
        if (pos == reader_at && reader_between)
            return true;
        return pos > oldest && g_pty.ring[(pos - 1) % kPtyRingSize] == '\n';
    };
    while (start < end && !sentence_starts(start))
        ++start;
    const std::size_t kept_len = static_cast<std::size_t>(end - start);
    for (std::size_t i = 0; i < kept_len; ++i)
        g_pty.kept[i] = g_pty.ring[(start + i) % kPtyRingSize];
    // The sentence may go on in what the terminal has not taken yet.
    for (std::size_t i = 0; !ended && i < g_pty.tail_len; ++i) {
        rest[rest_len++] = g_pty.tail[i];
        ended = rest[rest_len - 1] == '\n' || rest_len == sizeof rest;
    }
    g_pty.tail_len = 0;
    g_pty.batch_count = 0;
    // Everything up to here has been read, by a reader or by the service.
    g_pty.read_to = g_pty.written;
    g_pty.rest_at = rest_len > 0 ? g_pty.written : UINT64_MAX;
    if (rest_len + kept_len > 0) {
        const iovec back[2] = {{rest, rest_len}, {g_pty.kept, kept_len}};
        (void)pty_put(master, back, 2, rest_len + kept_len, now_ms);
    }
    return rest_len > 0;
}

// Writes the batch after what is left of the previous one. A reader never
// gets a cut or spliced sentence: when the batch would not fit, the oldest
// whole sentences are taken back around the sentence being read; a batch
// that still does not fit whole is dropped whole, and the rest of a partly
// taken batch goes before anything new. false: the terminal failed.
bool pty_write(int fd, const struct iovec* pieces, int count, std::size_t total, int64_t now_ms)
{
    // Only once the last bytes have arrived does the count of what is queued
    // say exactly how far readers have got. Until then the bytes still on
    // their way may be unread as well: counting them gives a bound that lets
    // a reader who keeps up with a flood get every batch.
    const bool settled = now_ms - g_pty.last_ms >= kPtyInFlightMs || now_ms < g_pty.last_ms;
    const int visible = pty_queued();
    const uint64_t moving = settled ? 0 : pty_in_flight(now_ms);
    if (visible >= 0 && visible < kPtyCountedMax && moving != UINT64_MAX) {
        const uint64_t unread = static_cast<uint64_t>(visible) + moving;
        const uint64_t at = g_pty.written - std::min<uint64_t>(unread, g_pty.written);
        g_pty.read_to = std::max(g_pty.read_to, at);
    }
    pty_forget_read();
    uint64_t queued = g_pty.written - g_pty.read_to;
    // A reader who lags keeps its sentences for as long as there is room:
    // until the terminal holds no more (the rest of a batch it took only in
    // part still waits) or the batch would take the queue past its bound.
    if (settled && queued > 0 && (g_pty.tail_len > 0 || queued + total > kPtyRoomMax)) {
        (void)pty_discard(fd, now_ms, kPtyKeepMax > total ? kPtyKeepMax - total : 0);
        queued = g_pty.written - g_pty.read_to;
    }
    if (g_pty.tail_len > 0) {
        const ssize_t n = write(fd, g_pty.tail, g_pty.tail_len);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (n > 0) {
            pty_taken(g_pty.tail, static_cast<std::size_t>(n));
            pty_batch(now_ms);
            std::memmove(g_pty.tail, g_pty.tail + n, g_pty.tail_len - static_cast<std::size_t>(n));
            g_pty.tail_len -= static_cast<std::size_t>(n);
            queued += static_cast<uint64_t>(n);
        }
        if (g_pty.tail_len > 0)
            return true;  // the new batch is dropped whole
    }
    // Kept short, so that what a reader gets is current and the queue can
    // be measured; a reader that keeps up always finds room.
    if (queued > 0 && queued + total > kPtyQueueMax)
        return true;
    return pty_put(fd, pieces, count, total, now_ms);
}

// Existence test that also sees a link whose target is gone: a dangling
// "/dev/nmea" from an earlier run must be replaced, not tripped over.
bool link_present(const char* path)
{
    struct stat st;
    return plat_lstat(path, &st) == 0;
}

// Raw mode on the slave: readers get every sentence byte for byte ("\r\n"
// stays "\r\n") and nothing is echoed back into the master's queue, which the
// service never reads.
void make_raw(int slave_fd)
{
    struct termios tio;
    if (tcgetattr(slave_fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    (void)tcsetattr(slave_fd, TCSANOW, &tio);
}

int pty_fail()
{
    g_pty.slave.reset();
    g_pty.slave_path[0] = '\0';
    log_msg(LOG_ERR, "Pseudo-terminal initialization failed and will be ignored.");
    return -1;
}

}  // namespace

void output_write(SerialOutput* out, const char* data, std::size_t length)
{
    const iovec piece{const_cast<char*>(data), length};
    output_writev(out, &piece, 1, length);
}

void output_writev(SerialOutput* out, const struct iovec* pieces, int count, std::size_t total)
{
    output_writev_at(out, pieces, count, total, monotonic_ms());
}

void output_writev_at(SerialOutput* out, const struct iovec* pieces, int count, std::size_t total, int64_t now_ms)
{
    if (out->enabled == 0)
        return;
    if (!out->fd) {
        if (out->path == nullptr) {
            log_msg(LOG_ERR, "Pseudo terminal is closed");
            return;
        }
        // A port another live process holds is skipped without waiting and
        // tried again at most once a second: the other outputs keep pace.
        const long long now = monotonic_ms();
        if (out->retry_at != 0 && now < out->retry_at)
            return;
        if (!lock_device(out->path, 0)) {
            out->retry_at = now + kLockRetryMs;
            log_msg(LOG_ERR, "device(%s) is locked", out->path);
            return;
        }
        out->retry_at = 0;
        out->fd.reset(serial_open(out->path, 9600, 8, "N", 1));
        if (!out->fd) {
            unlock_device(out->path);
            return;
        }
    }
    if (out->path == nullptr && g_pty.slave) {
        // A full queue costs a batch, never a stalled main loop or a closed
        // pseudo-terminal: a reader may come later.
        if (pty_write(out->fd.get(), pieces, count, total, now_ms))
            return;
    } else if (writev(out->fd.get(), pieces, count) >= 0) {
        // One write; whatever a short write leaves over is dropped.
        return;
    }
    out->fd.reset();
    if (out->path != nullptr)
        unlock_device(out->path);
}

void output_close(SerialOutput* out)
{
    if (!out->fd)
        return;
    out->fd.reset();
    if (out->path != nullptr)
        unlock_device(out->path);
}

int pty_open(SerialOutput* out, uint32_t enabled)
{
    *out = SerialOutput{0, nullptr, Fd{}};
    g_pty = Pty{};

    // Close-on-exec: router tools started later must not hold the terminal open.
    Fd owner(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    const int master = owner.get();
    if (master < 0) {
        log_msg(LOG_ERR, "Unable to open master pseudo-terminal. Function \"Posix_openpt\" end with: %d", master);
        return pty_fail();
    }
    // Non-blocking so that a full queue costs one sentence, never a stalled
    // main loop.
    (void)fcntl(master, F_SETFD, FD_CLOEXEC);
    (void)fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (grantpt(master) != 0) {
        log_msg(LOG_ERR,
                "Unable to change the ownership and access permission for pseudo-terminal. Function \"grantpt\" end "
                "with err: %d",
                1);
        return pty_fail();
    }
    if (unlockpt(master) != 0) {
        log_msg(LOG_ERR,
                "Unable to unlock the slave pseudo-terminal device corresponding to the master pseudo-terminal. "
                "Function \"unlockpt\" end with err: %d",
                1);
        return pty_fail();
    }
    if (ptsname_r(master, g_pty.slave_path, sizeof g_pty.slave_path) != 0) {
        log_msg(LOG_ERR, "Slave pseudo-terminal is unknown. Function \"ptsname\" ends with NULL");
        return pty_fail();
    }
    // The slave path is the system's own name ("/dev/pts/N"), not a path of
    // the router's file tree, so it is used as the system gave it.
    const char* slave = g_pty.slave_path;
    if (chown(slave, getuid(), kDaemonsGid) != 0) {
        log_msg(LOG_ERR, "Unable to add pseudo-terminal to %s group", kDaemonsGroup);
        return pty_fail();
    }
    if (chmod(slave, 0770) != 0) {
        log_msg(LOG_ERR, "Unable to allow RW access pseudo-terminal for %s group", kDaemonsGroup);
        return pty_fail();
    }
    // O_NOCTTY: the service leads its own session, and a slave that became
    // its controlling terminal would hang it up with SIGHUP when the master
    // is closed at shutdown, before the clean-up has finished.
    g_pty.slave.reset(open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!g_pty.slave) {
        log_msg(LOG_ERR, "Unable to opend slave pseudo-terminal");
        return pty_fail();
    }
    (void)fcntl(g_pty.slave.get(), F_SETFL, fcntl(g_pty.slave.get(), F_GETFL) | O_NONBLOCK);
    make_raw(g_pty.slave.get());
    if (link_present(kPtyLinkPath)) {
        // Whatever an earlier run or a stray program left there goes (unlink
        // never follows a link); only a directory stays and fails the set-up.
        const int rc = plat_unlink(kPtyLinkPath);
        if (rc != 0) {
            log_msg(LOG_ERR, "Unable to delete existed linked file %s, err:%d", kPtyLinkPath, rc);
            return pty_fail();
        }
    }
    if (plat_symlink(slave, kPtyLinkPath) != 0) {
        const int err = errno;
        if (!link_present(kPtyLinkPath)) {
            log_msg(LOG_ERR, "Unable to create symlink from %s -> %s, err: %d, errno: %s", slave, kPtyLinkPath, 1,
                    std::strerror(err));
            return pty_fail();
        }
    }
    if (plat_lchown(kPtyLinkPath, getuid(), kDaemonsGid) != 0) {
        log_msg(LOG_ERR, "Unable to change users permission of %s", kPtyLinkPath);
        return pty_fail();
    }
    *out = SerialOutput{enabled, nullptr, std::move(owner)};
    log_msg(LOG_NOTICE, "Pseudo-terminal has been opened with success. (%s -> %s)", kPtyLinkPath, slave);
    return 0;
}

void pty_close(SerialOutput* out)
{
    // Readers lose what is unread once the master closes: a reader inside a
    // sentence (or waiting for the rest of a partly taken batch) gets the
    // rest of that sentence alone, and a moment to take it.
    if (out->fd && g_pty.slave) {
        const int64_t now = monotonic_ms();
        if (now >= g_pty.last_ms && now - g_pty.last_ms < kPtyInFlightMs)
            (void)clock_pause_ms(kPtyInFlightMs - (now - g_pty.last_ms), false);
        const int64_t from = monotonic_ms();
        const bool put_back = pty_discard(out->fd.get(), from);
        // What was put back reaches the queue only after a moment, and an
        // empty-looking queue before that means nothing.
        for (int64_t at = from; put_back && at - from < kPtyCloseWaitMs; at = monotonic_ms()) {
            if (at - from >= kPtyInFlightMs && pty_queued() <= 0)
                break;
            (void)clock_pause_ms(10, false);
        }
    }
    if (link_present(kPtyLinkPath)) {
        const int rc = plat_unlink_type(kPtyLinkPath, S_IFLNK);
        if (rc != 0)
            log_msg(LOG_ERR, "Unable to delete existed linked file %s, err:%d", kPtyLinkPath, rc);
    }
    g_pty.slave.reset();
    out->fd.reset();
    out->enabled = 0;
    g_pty.slave_path[0] = '\0';
    log_msg(LOG_NOTICE, "Pseudo-terminal has been closed");
}
