// Simulation-root seam: path resolution, GPIO and clock stand-ins, log mirror.
#include "platform/platform.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

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

} // namespace

int plat_simulated()
{
    return sim_root() != nullptr;
}

const char* plat_path(const char* path, char* buf, std::size_t size)
{
    const char* root = sim_root();
    if (!root || !path || path[0] != '/')
        return path;
    int n = std::snprintf(buf, size, "%s%s", root, path);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        // Too long for any real file system path: make the call fail.
        std::snprintf(buf, size, "%s", "/nonexistent/path-too-long");
    }
    return buf;
}

#define RESOLVE(var, path)   \
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

void plat_closelog()
{
    closelog();
}

void log_msg(int priority, const char* fmt, ...)
{
    // One fixed line buffer: messages quote module replies of up to 8 KiB.
    char text[9216];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    syslog(priority, "%s", text);
    if (!plat_simulated())
        return;
    // Escape line ends so every message stays one line on standard error.
    char line[sizeof text * 2 + 32];
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
