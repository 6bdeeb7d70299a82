// SPDX-License-Identifier: BSD-2-Clause
// The pid file that keeps a second service from starting.
#include "platform/pidfile.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// True when path still names the file open at fd: a pid file removed (and
// perhaps made anew) between our open and our lock is no longer the one the
// next instance will look at.
bool same_file(const char* path, int fd)
{
    struct stat at_path, opened;
    return plat_lstat(path, &at_path) == 0 && fstat(fd, &opened) == 0 && at_path.st_dev == opened.st_dev &&
           at_path.st_ino == opened.st_ino;
}

// How often the open and lock are tried again when the file was replaced
// under us; each retry means another instance has just stopped.
constexpr int kPidfileAttempts = 5;
// "gnssd status" looks at the lock by taking a shared one for an instant: a
// lock refused is asked again this often, this far apart, before it counts
// as another service's.
constexpr int kLockAsks = 5;
constexpr int kLockAskPauseMs = 10;

int lock_now(int fd)
{
    for (int ask = 1;; ++ask) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK || ask == kLockAsks)
            return -1;
        (void)poll(nullptr, 0, kLockAskPauseMs);
    }
}

}  // namespace

int plat_pidfile_lock(const char* path, int* holder)
{
    *holder = 0;
    for (int attempt = 0;; ++attempt) {
        const int fd = plat_open_file(path, O_RDWR | O_CREAT, 0644);
        if (fd < 0)
            return -1;
        // flock rather than a record lock: closing any other descriptor of the
        // file would silently drop a record lock.
        if (lock_now(fd) != 0) {
            const int saved = errno;
            char text[16] = {};
            if (pread(fd, text, sizeof text - 1, 0) > 0)
                *holder = std::atoi(text);
            close(fd);
            errno = saved;
            return -1;
        }
        // The instance that held it may have removed the file as it stopped:
        // a lock on that file guards nothing.
        if (!same_file(path, fd)) {
            close(fd);
            if (attempt + 1 < kPidfileAttempts)
                continue;
            errno = EAGAIN;
            return -1;
        }
        char text[16];
        const int len = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<std::size_t>(len), 0) != len) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        return fd;
    }
}

void plat_pidfile_remove(const char* path, int fd)
{
    if (fd < 0)
        return;
    // Removed while the lock is still held, and only if it is still our file,
    // so that the pid file of a newer instance is never touched.
    if (same_file(path, fd))
        (void)plat_unlink(path);
    close(fd);
}

int plat_pidfile_holder(const char* path, int* pid)
{
    *pid = 0;
    const int fd = plat_open_file(path, O_RDONLY);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    int held = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        (void)flock(fd, LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        held = 1;
        char text[16] = {};
        if (pread(fd, text, sizeof text - 1, 0) > 0)
            *pid = std::atoi(text);
    } else {
        held = -1;
    }
    close(fd);
    return held;
}
