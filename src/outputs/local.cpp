// Local NMEA outputs: lazily opened serial ports and the "/dev/nmea" pseudo-terminal.
#include "outputs/local.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "receiver/serial.h"

namespace {

constexpr long long kLockRetryMs = 1000;
// Group that owns "/dev/nmea" and its slave on the router.
constexpr gid_t kDaemonsGid = 999;
constexpr const char* kDaemonsGroup = "deamons";

// The part of a "/dev/nmea" queue the slave can report: the line
// discipline's own buffer. Beyond it the terminal holds more unseen.
constexpr uint32_t kPtyVisibleMax = 4095;
// A queue nobody reads is discarded before it grows past this.
constexpr uint32_t kPtyQueueMax = 4000;
// Sentences older than this are not news to a reader that comes late.
constexpr int64_t kPtyStaleMs = 2000;
// The terminal hands written bytes to the reader's side on a kernel worker:
// a queue that looks empty this soon after a write may still be filling.
constexpr int64_t kPtyInFlightMs = 5;
// Room for the rest of a batch the terminal took only in part.
constexpr std::size_t kPtyTailMax = 2048;

// The one pseudo-terminal of the service: the slave stays open for as long as
// the pseudo-terminal exists so that its line settings survive readers coming
// and going, and so that readers never see a hang-up when they close.
struct Pty {
    int slave_fd = -1;
    char slave_path[128] = {};
    uint32_t queued = 0;          // bytes written since the queue was last seen empty or discarded
    int64_t first_ms = 0;         // when the first of them was written
    int64_t last_ms = 0;          // when the last batch was written
    int64_t full_since = -1;      // since when the terminal refuses bytes; -1: it takes them
    char tail[kPtyTailMax] = {};  // what a partial write left of a batch
    std::size_t tail_len = 0;
};
Pty g_pty;

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void pty_discard()
{
    (void)tcflush(g_pty.slave_fd, TCIFLUSH);
    g_pty.queued = 0;
    g_pty.tail_len = 0;
    g_pty.full_since = -1;
}

// Discards what is queued when nobody is reading it and it is stale or
// would grow too long. "Nobody is reading": the queue holds exactly what was
// written since it was last empty, so no reader is inside a sentence of it;
// or the terminal has refused bytes for longer than a reader may pause.
void pty_make_room(std::size_t total, int64_t now_ms)
{
    int visible = 0;
    if (ioctl(g_pty.slave_fd, FIONREAD, &visible) != 0)
        return;
    if (visible <= 0 && g_pty.tail_len == 0 && now_ms - g_pty.last_ms >= kPtyInFlightMs) {
        g_pty.queued = 0;  // a reader has taken everything
        return;
    }
    const bool untouched = g_pty.queued > 0 && g_pty.queued < kPtyVisibleMax &&
                           static_cast<uint32_t>(visible) == g_pty.queued;
    const bool stale = g_pty.queued > 0 && now_ms - g_pty.first_ms > kPtyStaleMs;
    const bool long_queue = g_pty.queued + total > kPtyQueueMax;
    const bool stuck = g_pty.full_since >= 0 && now_ms - g_pty.full_since > kPtyStaleMs;
    if ((untouched && (stale || long_queue)) || stuck)
        pty_discard();
}

// Writes the batch after what is left of the previous one. A reader never
// gets a cut sentence: the rest of a partly taken batch goes first, and new
// batches are dropped whole while it cannot. false: the terminal failed.
bool pty_write(int fd, const struct iovec* pieces, int count, std::size_t total, int64_t now_ms)
{
    pty_make_room(total, now_ms);
    if (g_pty.tail_len > 0) {
        const ssize_t n = write(fd, g_pty.tail, g_pty.tail_len);
        if (n > 0) {
            std::memmove(g_pty.tail, g_pty.tail + n, g_pty.tail_len - static_cast<std::size_t>(n));
            g_pty.tail_len -= static_cast<std::size_t>(n);
            g_pty.queued += static_cast<uint32_t>(n);
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (g_pty.tail_len > 0) {
            if (g_pty.full_since < 0)
                g_pty.full_since = now_ms;
            return true;
        }
    }
    ssize_t n = writev(fd, pieces, count);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    if (n < 0)
        n = 0;  // full: nobody reads "/dev/nmea"
    const auto done = static_cast<std::size_t>(n);
    if (done > 0) {
        if (g_pty.queued == 0)
            g_pty.first_ms = now_ms;
        g_pty.queued += static_cast<uint32_t>(done);
        g_pty.last_ms = now_ms;
    }
    if (done == total) {
        g_pty.full_since = -1;
        return true;
    }
    if (g_pty.full_since < 0)
        g_pty.full_since = now_ms;
    if (done == 0)
        return true;  // dropped whole
    // Keep the rest of the batch for the next write.
    if (total - done > kPtyTailMax) {
        pty_discard();  // cannot happen with batches of one receive buffer; never splice
        return true;
    }
    std::size_t skip = done;
    for (int i = 0; i < count; ++i) {
        const std::size_t len = pieces[i].iov_len;
        if (skip >= len) {
            skip -= len;
            continue;
        }
        std::memcpy(g_pty.tail + g_pty.tail_len, static_cast<const char*>(pieces[i].iov_base) + skip, len - skip);
        g_pty.tail_len += len - skip;
        skip = 0;
    }
    return true;
}

// Existence test that also sees a link whose target is gone: a dangling
// "/dev/nmea" from an earlier run must be replaced, not tripped over.
bool link_present(const char* path)
{
    struct stat st;
    return plat_lstat(path, &st) == 0;
}

void close_fd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
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

int pty_fail(int* master)
{
    close_fd(&g_pty.slave_fd);
    close_fd(master);
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
    if (out->fd < 0) {
        if (out->path == nullptr) {
            log_msg(LOG_ERR, "Pseudo terminal is closed");
            return;
        }
        // A port another live process holds is skipped without waiting and
        // tried again at most once a second: the other outputs keep pace.
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const long long now = static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
        if (out->retry_at != 0 && now < out->retry_at)
            return;
        if (!lock_device(out->path, 0)) {
            out->retry_at = now + kLockRetryMs;
            log_msg(LOG_ERR, "device(%s) is locked", out->path);
            return;
        }
        out->retry_at = 0;
        out->fd = serial_open(out->path, 9600, 8, "N", 1);
        if (out->fd < 0) {
            unlock_device(out->path);
            return;
        }
    }
    if (out->path == nullptr && g_pty.slave_fd >= 0) {
        // A full queue costs a batch, never a stalled main loop or a closed
        // pseudo-terminal: a reader may come later.
        if (pty_write(out->fd, pieces, count, total, now_ms))
            return;
    } else if (writev(out->fd, pieces, count) >= 0) {
        // One write; whatever a short write leaves over is dropped.
        return;
    }
    close_fd(&out->fd);
    if (out->path != nullptr)
        unlock_device(out->path);
}

void output_close(SerialOutput* out)
{
    if (out->fd < 0)
        return;
    close_fd(&out->fd);
    if (out->path != nullptr)
        unlock_device(out->path);
}

int pty_open(SerialOutput* out, uint32_t enabled)
{
    *out = SerialOutput{0, nullptr, -1};
    g_pty = Pty{};

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        log_msg(LOG_ERR, "Unable to open master pseudo-terminal. Function \"Posix_openpt\" end with: %d", master);
        return pty_fail(&master);
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
        return pty_fail(&master);
    }
    if (unlockpt(master) != 0) {
        log_msg(LOG_ERR,
                "Unable to unlock the slave pseudo-terminal device corresponding to the master pseudo-terminal. "
                "Function \"unlockpt\" end with err: %d",
                1);
        return pty_fail(&master);
    }
    if (ptsname_r(master, g_pty.slave_path, sizeof g_pty.slave_path) != 0) {
        log_msg(LOG_ERR, "Slave pseudo-terminal is unknown. Function \"ptsname\" ends with NULL");
        return pty_fail(&master);
    }
    // The slave path is the system's own name ("/dev/pts/N"), not a path of
    // the router's file tree, so it is used as the system gave it.
    const char* slave = g_pty.slave_path;
    if (chown(slave, getuid(), kDaemonsGid) != 0) {
        log_msg(LOG_ERR, "Unable to add pseudo-terminal to %s group", kDaemonsGroup);
        return pty_fail(&master);
    }
    if (chmod(slave, 0770) != 0) {
        log_msg(LOG_ERR, "Unable to allow RW access pseudo-terminal for %s group", kDaemonsGroup);
        return pty_fail(&master);
    }
    // O_NOCTTY: the service leads its own session, and a slave that became
    // its controlling terminal would hang it up with SIGHUP when the master
    // is closed at shutdown, before the clean-up has finished.
    g_pty.slave_fd = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_pty.slave_fd < 0) {
        log_msg(LOG_ERR, "Unable to opend slave pseudo-terminal");
        return pty_fail(&master);
    }
    make_raw(g_pty.slave_fd);
    if (link_present(kPtyLinkPath)) {
        // Whatever an earlier run or a stray program left there goes (unlink
        // never follows a link); only a directory stays and fails the set-up.
        const int rc = plat_unlink(kPtyLinkPath);
        if (rc != 0) {
            log_msg(LOG_ERR, "Unable to delete existed linked file %s, err:%d", kPtyLinkPath, rc);
            return pty_fail(&master);
        }
    }
    if (plat_symlink(slave, kPtyLinkPath) != 0) {
        const int err = errno;
        if (!link_present(kPtyLinkPath)) {
            log_msg(LOG_ERR, "Unable to create symlink from %s -> %s, err: %d, errno: %s", slave, kPtyLinkPath, 1,
                    std::strerror(err));
            return pty_fail(&master);
        }
    }
    if (plat_lchown(kPtyLinkPath, getuid(), kDaemonsGid) != 0) {
        log_msg(LOG_ERR, "Unable to change users permission of %s", kPtyLinkPath);
        return pty_fail(&master);
    }
    *out = SerialOutput{enabled, nullptr, master};
    log_msg(LOG_NOTICE, "Pseudo-terminal has been opened with success. (%s -> %s)", kPtyLinkPath, slave);
    return 0;
}

void pty_close(SerialOutput* out)
{
    if (link_present(kPtyLinkPath)) {
        const int rc = plat_unlink_type(kPtyLinkPath, S_IFLNK);
        if (rc != 0)
            log_msg(LOG_ERR, "Unable to delete existed linked file %s, err:%d", kPtyLinkPath, rc);
    }
    close_fd(&g_pty.slave_fd);
    close_fd(&out->fd);
    out->enabled = 0;
    g_pty.slave_path[0] = '\0';
    log_msg(LOG_NOTICE, "Pseudo-terminal has been closed");
}
