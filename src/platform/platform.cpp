// SPDX-License-Identifier: BSD-2-Clause
// Path resolution under a simulation root and the hardened file calls built on it.
#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The root and its length, read from the environment on first use.
struct SimRoot {
    const char* path;  // nullptr on the router
    std::size_t len;
};

SimRoot g_root;
// Read once: the root never changes while the service runs. Only a test that
// leaves the simulation root asks for it to be read again.
std::atomic<bool> g_root_read{false};
std::mutex g_root_mutex;

const SimRoot& sim_root()
{
    if (!g_root_read.load(std::memory_order_acquire)) {
        std::lock_guard lock(g_root_mutex);
        if (!g_root_read.load(std::memory_order_relaxed)) {
            const char* r = std::getenv("GNSSD_ROOT");
            g_root = (r && *r) ? SimRoot{r, std::strlen(r)} : SimRoot{nullptr, 0};
            g_root_read.store(true, std::memory_order_release);
        }
    }
    return g_root;
}

}  // namespace

void plat_root_reread()
{
    std::lock_guard lock(g_root_mutex);
    g_root_read.store(false, std::memory_order_release);
}

int plat_simulated()
{
    return sim_root().path != nullptr;
}

const char* plat_path(const char* path, char* buf, std::size_t size)
{
    const SimRoot& r = sim_root();
    const char* root = r.path;
    if (!root || !path || path[0] != '/')
        return path;
    // Every file operation comes through here, several per status file
    // rewrite: two copies rather than a format call.
    const std::size_t root_len = r.len;
    const std::size_t path_len = std::strlen(path);
    if (root_len + path_len >= size) {
        // Too long for any real file system path: make the call fail.
        std::snprintf(buf, size, "%s", "/nonexistent/path-too-long");
        return buf;
    }
    std::memcpy(buf, root, root_len);
    std::memcpy(buf + root_len, path, path_len + 1);
    return buf;
}

#define RESOLVE(var, path)        \
    char var##_buf[kPlatPathMax]; \
    const char* var = plat_path(path, var##_buf, sizeof var##_buf)

int plat_open(const char* path, int flags, mode_t mode)
{
    RESOLVE(p, path);
    return open(p, flags, mode);
}

FILE* plat_fopen(const char* path, const char* mode)
{
    RESOLVE(p, path);
    return std::fopen(p, mode);
}

int plat_stat(const char* path, struct stat* st)
{
    RESOLVE(p, path);
    return stat(p, st);
}

int plat_lstat(const char* path, struct stat* st)
{
    RESOLVE(p, path);
    return lstat(p, st);
}

int plat_unlink(const char* path)
{
    RESOLVE(p, path);
    return unlink(p);
}

int plat_rename(const char* from, const char* to)
{
    RESOLVE(a, from);
    RESOLVE(b, to);
    return rename(a, b);
}

int plat_chown(const char* path, uid_t uid, gid_t gid)
{
    RESOLVE(p, path);
    return chown(p, uid, gid);
}

int plat_lchown(const char* path, uid_t uid, gid_t gid)
{
    RESOLVE(p, path);
    return lchown(p, uid, gid);
}

int plat_chmod(const char* path, mode_t mode)
{
    RESOLVE(p, path);
    return chmod(p, mode);
}

int plat_symlink(const char* target, const char* linkpath)
{
    RESOLVE(p, linkpath);
    return symlink(target, p);
}

int plat_open_file(const char* path, int flags, mode_t mode)
{
    // Set once a created file has come out with exactly the mode asked for:
    // the umask, which nothing in the daemon changes, then leaves those bits
    // alone, and a file this call has just created (O_EXCL) is a regular one
    // without a look at it. Saves a system call on every status file rewrite.
    static std::atomic<mode_t> umask_keeps{0};
    RESOLVE(p, path);
    // Reading may go through a link: the router keeps its settings on a
    // configuration partition and links them into place. Writing never does,
    // or a link planted at the path would aim our output at any file.
    const bool reads_only = (flags & O_ACCMODE) == O_RDONLY && (flags & (O_CREAT | O_TRUNC)) == 0;
    const int fd = open(p, flags | (reads_only ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    const bool created = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    if (created && mode != 0 && umask_keeps.load(std::memory_order_relaxed) == mode)
        return fd;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    // A second name for the file (a hard link from the path to, say, the
    // settings) would let our writes land in a file we never meant to touch.
    if (!reads_only && st.st_nlink > 1) {
        close(fd);
        errno = EMLINK;
        return -1;
    }
    // The umask init left must not make a file others can forge.
    if ((flags & O_CREAT) && (st.st_mode & 07777) != mode && fchmod(fd, mode) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (created && (st.st_mode & 07777) == mode)
        umask_keeps.store(mode, std::memory_order_relaxed);
    return fd;
}

FILE* plat_fopen_file(const char* path)
{
    const int fd = plat_open_file(path, O_RDONLY);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "r");
    if (!f)
        close(fd);
    return f;
}

int plat_replace_file(const char* path, const char* text, std::size_t len, mode_t mode)
{
    char tmp[kPlatPathMax];
    const std::size_t path_len = std::strlen(path);
    if (path_len + sizeof ".tmp" > sizeof tmp) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(tmp, path, path_len);
    std::memcpy(tmp + path_len, ".tmp", sizeof ".tmp");
    struct stat st;
    if (plat_lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = EEXIST;
        return -1;
    }
    // The new file is created, never opened: whatever stands at the temporary
    // path (a link, a FIFO, a file left by a crash) makes the creation fail
    // and is removed first. Tried before the removal, which is rarely needed.
    int fd = plat_open_file(tmp, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno == EEXIST) {
        (void)plat_unlink(tmp);
        fd = plat_open_file(tmp, O_WRONLY | O_CREAT | O_EXCL, mode);
    }
    if (fd < 0)
        return -1;
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = n < 0 ? errno : EIO;
            close(fd);
            plat_unlink(tmp);
            errno = saved;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 || plat_rename(tmp, path) != 0) {
        const int saved = errno;
        plat_unlink(tmp);
        errno = saved;
        return -1;
    }
    return 0;
}

int plat_unlink_type(const char* path, mode_t type)
{
    struct stat st;
    if (plat_lstat(path, &st) != 0)
        return -1;
    if ((st.st_mode & S_IFMT) != type) {
        errno = EEXIST;
        return -1;
    }
    return plat_unlink(path);
}
