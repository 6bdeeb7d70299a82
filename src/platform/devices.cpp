// SPDX-License-Identifier: BSD-2-Clause
// GPIO, RTC and system clock requests: the devices on the router, text-file stand-ins under a simulation root.
#include "platform/devices.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/gpio.h"
#include "platform/platform.h"

namespace {

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

}  // namespace

int plat_gpio_ioctl(int fd, unsigned long request, int arg)
{
    if (!plat_simulated())
        return ioctl(fd, request, arg);
    if (request == kGpioBoardCodeRequest)
        return gpio_standin_read(fd, "board_code");
    if (request == kGpioPlatformIdRequest)
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
