// Simulation-root seam: path resolution, GPIO and clock stand-ins, log mirror.
#include "platform/platform.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kLogTextSize = 9216;

// Read once: the root never changes while the process runs.
const char* sim_root()
{
    static const char* root = [] {
        const char* r = std::getenv("GNSSD_ROOT");
        return (r && *r) ? r : nullptr;
    }();
    return root;
}

// GPIO read requests and the stand-in line that answers each.
constexpr unsigned long kGpioBoardCode = 0x8000420EUL;
constexpr unsigned long kGpioPlatformId = 0x8000420BUL;

int gpio_standin_read(int fd, const char* key)
{
    char text[4096];
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n < 0)
        return -1;
    text[n] = '\0';
    const std::size_t klen = std::strlen(key);
    for (char* line = text; line && *line;) {
        char* next = std::strchr(line, '\n');
        if (next)
            *next++ = '\0';
        if (std::strncmp(line, key, klen) == 0 && line[klen] == '=') {
            char* end = nullptr;
            errno = 0;
            long v = std::strtol(line + klen + 1, &end, 0);
            if (end != line + klen + 1 && errno == 0)
                return static_cast<int>(v);
        }
        line = next;
    }
    errno = EINVAL;
    return -1;
}

int append_line(const char* router_path, const char* line)
{
    int fd = plat_open(router_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const std::size_t len = std::strlen(line);
    ssize_t n = write(fd, line, len);
    int saved = errno;
    close(fd);
    if (n != static_cast<ssize_t>(len)) {
        errno = n < 0 ? saved : EIO;
        return -1;
    }
    return 0;
}

const char* level_name(int priority)
{
    switch (LOG_PRI(priority)) {
    case LOG_EMERG:
    case LOG_ALERT:
    case LOG_CRIT:
    case LOG_ERR:
        return "err";
    case LOG_WARNING:
        return "warning";
    case LOG_NOTICE:
        return "notice";
    case LOG_INFO:
        return "info";
    default:
        return "debug";
    }
}

}  // namespace

int plat_simulated()
{
    return sim_root() != nullptr;
}

const char* plat_path(const char* path, char* buf, std::size_t size)
{
    const char* root = sim_root();
    if (!root || !path || path[0] != '/')
        return path;
    // Every file operation comes through here, several per status file
    // rewrite: two copies rather than a format call.
    static const std::size_t root_len = std::strlen(root);
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
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
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

namespace {
// Set from a signal handler, read by every thread that waits.
std::atomic<int> g_stop_seen{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
// Read end, write end of the pipe behind plat_stop_fd; -1 until it is made.
std::atomic<int> g_stop_pipe[2] = {-1, -1};
constexpr unsigned kPauseLogSeconds = 5;
// Longest single sleep of a pause: bounds how late a stop request is seen
// should the signal have been taken by another thread.
constexpr long long kPauseSliceMs = 100;
}  // namespace

void plat_stop_note()
{
    g_stop_seen.store(1, std::memory_order_relaxed);
    const int fd = g_stop_pipe[1].load(std::memory_order_acquire);
    if (fd >= 0) {
        const int saved = errno;  // a signal handler leaves errno as it found it
        const char byte = 1;
        (void)!write(fd, &byte, 1);
        errno = saved;
    }
}

int plat_stop_fd()
{
    int fd = g_stop_pipe[0].load(std::memory_order_acquire);
    if (fd >= 0)
        return fd;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    g_stop_pipe[0].store(ends[0], std::memory_order_release);
    g_stop_pipe[1].store(ends[1], std::memory_order_release);
    // A request that came before the pipe existed is only in the flag.
    if (plat_stop_seen())
        plat_stop_note();
    return ends[0];
}

int plat_stop_seen()
{
    return g_stop_seen.load(std::memory_order_relaxed);
}

void plat_stop_clear()
{
    g_stop_seen.store(0, std::memory_order_relaxed);
    const int fd = g_stop_pipe[0].load(std::memory_order_acquire);
    char bytes[64];
    while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
    }
}

bool plat_pause_ms(long long ms)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long end = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + ms;
    for (;;) {
        if (plat_stop_seen())
            return false;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = end - (static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
        if (left <= 0)
            return true;
        const long long slice = left < kPauseSliceMs ? left : kPauseSliceMs;
        struct timespec ts = {static_cast<time_t>(slice / 1000), static_cast<long>(slice % 1000) * 1000000L};
        // A signal ends the sleep early (EINTR); the loop then looks again.
        (void)nanosleep(&ts, nullptr);
    }
}

bool plat_pause(unsigned seconds, const char* what)
{
    if (seconds == 0)
        return true;
    if (what && seconds >= kPauseLogSeconds && !plat_stop_seen())
        log_msg(LOG_INFO, "waiting %u s for %s", seconds, what);
    return plat_pause_ms(static_cast<long long>(seconds) * 1000);
}

int plat_gpio_ioctl(int fd, unsigned long request, int arg)
{
    if (!plat_simulated())
        return ioctl(fd, request, arg);
    if (request == kGpioBoardCode)
        return gpio_standin_read(fd, "board_code");
    if (request == kGpioPlatformId)
        return gpio_standin_read(fd, "platform_id");
    char line[64];
    std::snprintf(line, sizeof line, "0x%08lx %d\n", request & 0xffffffffUL, arg);
    return append_line("/dev/gpio.log", line);
}

int plat_rtc_set(int fd, const struct tm* utc)
{
    if (!plat_simulated()) {
        struct rtc_time rt;
        std::memset(&rt, 0, sizeof rt);
        rt.tm_sec = utc->tm_sec;
        rt.tm_min = utc->tm_min;
        rt.tm_hour = utc->tm_hour;
        rt.tm_mday = utc->tm_mday;
        rt.tm_mon = utc->tm_mon;
        rt.tm_year = utc->tm_year;
        rt.tm_wday = utc->tm_wday;
        rt.tm_yday = utc->tm_yday;
        rt.tm_isdst = utc->tm_isdst;
        return ioctl(fd, RTC_SET_TIME, &rt);
    }
    char line[64];
    std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d\n", utc->tm_year + 1900, utc->tm_mon + 1,
                  utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec);
    const std::size_t len = std::strlen(line);
    if (lseek(fd, 0, SEEK_END) < 0)
        return -1;
    return write(fd, line, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

int plat_set_system_time(time_t seconds)
{
    if (!plat_simulated()) {
        struct timeval tv = {seconds, 0};
        return settimeofday(&tv, nullptr);
    }
    char line[32];
    std::snprintf(line, sizeof line, "%lld\n", static_cast<long long>(seconds));
    return append_line("/dev/clock", line);
}

void plat_openlog()
{
    openlog("gps", LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

namespace {

// Set before any thread starts; read by every log call.
std::atomic<LogStderr> g_log_stderr{LogStderr::normal};

// Writes one message: syslog, plus the mirror under a simulation root or
// when asked for.
void emit_line(int priority, const char* text)
{
    const LogStderr mode = g_log_stderr.load(std::memory_order_relaxed);
    if (mode != LogStderr::only)
        syslog(priority, "%s", text);
    if (mode == LogStderr::normal && !plat_simulated())
        return;
    // Escape line ends so every message stays one line on standard error.
    char line[kLogTextSize * 2 + 32];
    std::size_t o = static_cast<std::size_t>(std::snprintf(line, sizeof line, "gps: %s: ", level_name(priority)));
    for (const char* s = text; *s && o + 3 < sizeof line; ++s) {
        if (*s == '\r' || *s == '\n') {
            line[o++] = '\\';
            line[o++] = *s == '\r' ? 'r' : 'n';
        } else {
            line[o++] = *s;
        }
    }
    line[o++] = '\n';
    // One write per line so lines from several threads never interleave.
    ssize_t ignored = write(STDERR_FILENO, line, o);
    (void)ignored;
}

// Recently logged kinds of message (one format, one priority) and how often
// each came in its current second. A flood of bad sentences must not write
// thousands of lines a second to a log that may sit on flash, and messages
// that quote the sentence differ in every line: the kind is what counts.
struct RepeatSlot {
    const char* format;  // a literal: lives as long as the program
    int priority;
    long long second;  // monotonic second of the current count; -1: free
    unsigned count;
    unsigned dropped;
    char head[80];  // start of the first text held back, for the summary line
};
constexpr int kRepeatSlots = 16;
RepeatSlot g_repeat[kRepeatSlots] = {};
bool g_repeat_ready = false;
pthread_mutex_t g_log_lock = PTHREAD_MUTEX_INITIALIZER;

long long monotonic_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void flush_repeats(RepeatSlot& slot)
{
    if (slot.dropped == 0)
        return;
    char line[160];
    std::snprintf(line, sizeof line, "%u similar messages suppressed, the first: %s", slot.dropped, slot.head);
    emit_line(slot.priority, line);
    slot.dropped = 0;
}

void flush_all_repeats()
{
    if (!g_repeat_ready)
        return;
    for (RepeatSlot& slot : g_repeat)
        flush_repeats(slot);
}

bool same_kind(const RepeatSlot& slot, int priority, const char* format)
{
    // The same literal may sit at two addresses in two files.
    return slot.second >= 0 && slot.priority == priority &&
           (slot.format == format || std::strcmp(slot.format, format) == 0);
}

// True when a message of this kind may be logged now. Summaries of earlier
// seconds held back are written first, so that a flood that has ended is
// still counted in the log.
bool repeat_allowed(int priority, const char* format, const char* text)
{
    if (!g_repeat_ready) {
        for (RepeatSlot& slot : g_repeat)
            slot = RepeatSlot{"", 0, -1, 0, 0, {}};
        g_repeat_ready = true;
    }
    const long long now = monotonic_now_ms() / 1000;
    RepeatSlot* found = nullptr;
    RepeatSlot* oldest = &g_repeat[0];
    for (RepeatSlot& slot : g_repeat) {
        if (slot.second >= 0 && slot.second != now)
            flush_repeats(slot);
        if (!found && same_kind(slot, priority, format))
            found = &slot;
        if (slot.second < oldest->second)
            oldest = &slot;
    }
    if (!found) {
        flush_repeats(*oldest);
        found = oldest;
        *found = RepeatSlot{format, priority, now, 0, 0, {}};
    }
    if (found->second != now) {
        found->second = now;
        found->count = 0;
    }
    if (found->count >= kLogRepeatLimit) {
        if (found->dropped++ == 0) {
            const std::size_t k = strnlen(text, sizeof found->head - 1);
            std::memcpy(found->head, text, k);
            found->head[k] = '\0';
        }
        return false;
    }
    ++found->count;
    return true;
}

}  // namespace

void plat_log_stderr(LogStderr mode)
{
    g_log_stderr.store(mode, std::memory_order_relaxed);
}

void plat_log_forget_repeats()
{
    pthread_mutex_lock(&g_log_lock);
    g_repeat_ready = false;
    pthread_mutex_unlock(&g_log_lock);
}

void log_msg(int priority, const char* fmt, ...)
{
    // One fixed line buffer: messages quote module replies of up to 8 KiB.
    char text[kLogTextSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    pthread_mutex_lock(&g_log_lock);
    if (repeat_allowed(priority, fmt, text))
        emit_line(priority, text);
    pthread_mutex_unlock(&g_log_lock);
}

void plat_closelog()
{
    // What the last second held back is told before the log closes.
    pthread_mutex_lock(&g_log_lock);
    flush_all_repeats();
    pthread_mutex_unlock(&g_log_lock);
    closelog();
}
