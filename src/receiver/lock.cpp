// SPDX-License-Identifier: BSD-2-Clause
// UUCP lock files: a port is taken only by one program at a time.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"
#include "platform/worker.h"
#include "receiver/link.h"
#include "receiver/lock.h"

namespace {

// Lock-file names are short: "/run/lock/LCK.." and a tty name.
constexpr unsigned kLockPathSize = 64;
// Polling interval of a lock wait.
constexpr long long kLockPollMs = 100;
// Wait used for every port of a receiver link.
constexpr int kLinkLockSeconds = 5;

// Reads the process id written in a lock file into *pid: 0 when it holds
// none; ids beyond the int range cannot belong to a process and read as none
// as well. False when the file cannot be opened.
bool lock_file_owner(const char* lock_path, int* pid_out)
{
    // Only a regular file is read: a FIFO planted here must not hang us.
    FILE* f = plat_fopen_file(lock_path);
    if (!f)
        return false;
    char text[32];
    std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(text, &end, 10);
    const bool valid = end != text && errno == 0 && pid <= INT_MAX && pid >= INT_MIN;
    *pid_out = valid ? static_cast<int>(pid) : 0;
    return true;
}

}  // namespace

const char* lock_file_path(const char* device, char* buf, unsigned size)
{
    const char* slash = std::strrchr(device, '/');
    const char* name = slash ? slash + 1 : device;
    int n = std::snprintf(buf, size, "/run/lock/LCK..%s", name);
    // A cut name could be another port's lock file: take no file at all.
    if (n < 0 || static_cast<unsigned>(n) >= size) {
        if (size > 0)
            buf[0] = '\0';
    }
    return buf;
}

int lock_device(const char* path, int timeout_seconds, LockWait wait)
{
    char lock_path[kLockPathSize];
    lock_file_path(path, lock_path, sizeof lock_path);
    const time_t deadline = monotonic_seconds() + timeout_seconds;
    for (;;) {
        struct stat st;
        if (lock_path[0] && plat_stat(lock_path, &st) == 0) {
            int owner = 0;
            if (lock_file_owner(lock_path, &owner) && !process_alive(owner))
                plat_unlink(lock_path);
        }
        // Created, never opened: a link planted at the path is not followed.
        Fd fd(lock_path[0] ? plat_open_file(lock_path, O_WRONLY | O_CREAT | O_EXCL, 0644) : -1);
        if (fd) {
            char text[16];
            const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
            const ssize_t n = write(fd.get(), text, static_cast<std::size_t>(len));
            fd.reset();
            // A file left empty by a failed write looks stale to the next pass.
            if (n == len)
                return 1;
        }
        // One try only when no wait was asked for, or when a stop request
        // has made the work this lock was for pointless.
        if (timeout_seconds <= 0 || (wait == LockWait::kUntilStop && plat_stop_seen()))
            return 0;
        // Not cut short by a stop: the stop sequence's wait runs its time.
        (void)clock_pause_ms(kLockPollMs, false);
        if (monotonic_seconds() > deadline)
            return 0;
    }
}

void unlock_device(const char* path)
{
    char lock_path[kLockPathSize];
    lock_file_path(path, lock_path, sizeof lock_path);
    if (lock_path[0])
        plat_unlink(lock_path);
}

int process_alive(int pid)
{
    if (pid <= 0)
        return 0;
    // A process of another user answers EPERM: it exists all the same.
    if (kill(pid, 0) == 0 || errno != ESRCH)
        return 1;
    return 0;
}

int link_lock_path(ReceiverLink* link, const char* path, LockWait wait)
{
    link->device_path = path;
    if (!lock_device(path, kLinkLockSeconds, wait)) {
        log_msg(LOG_ERR, "device(%s) is locked", path);
        return -1;
    }
    return 0;
}
