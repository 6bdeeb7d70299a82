// SPDX-License-Identifier: BSD-2-Clause
// Reading the router's status tool.
#include "platform/status_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/run.h"

namespace {

constexpr std::size_t kSectionSize = 32;
constexpr std::size_t kValueSize = 128;
// The status tool's output is read once, after it ended; longer output is cut.
constexpr std::size_t kOutputSize = 4096;
// A value lies between ": " and the line end: 1 to 127 characters.
constexpr long kValueMaxSpan = 130;

struct StatusCache {
    char section[kSectionSize];
    long time;
    char value[kValueSize];
    char output[kOutputSize];
};

thread_local StatusCache status_cache;

}  // namespace

const char* status_read(const char* section, int max_age)
{
    StatusCache& c = status_cache;
    if (c.section[0] != '\0' && std::strcmp(c.section, section) == 0 && c.time + max_age >= monotonic_seconds())
        return c.output;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "";
    // The tool's output is read only after it ended. A non-blocking write end
    // makes a tool that prints more than the pipe holds fail instead of
    // waiting forever for a reader, which would stall this thread.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    proc_set_stdout(fds[1]);
    int status = proc_run("/usr/bin/status", "-v", section, static_cast<const char*>(nullptr));
    if (status != 0) {
        close(fds[0]);
        return "";
    }
    ssize_t n;
    do {
        n = read(fds[0], c.output, kOutputSize - 1);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    if (n < 0)
        return "";  // not cached
    c.output[n] = '\0';
    std::snprintf(c.section, sizeof c.section, "%s", section);
    c.time = monotonic_seconds();
    return c.output;
}

const char* status_value(const char* output, const char* key)
{
    const std::size_t klen = std::strlen(key);
    const char* p = output;
    for (;;) {
        if (*p == '\0')
            return "N/A";
        if (*p == '\n')
            ++p;
        const char* end = std::strchr(p, '\n');
        if (!end)
            end = p + std::strlen(p);
        if (std::strncmp(p, key, klen) == 0) {
            // The first ": " from this line on; it may lie on a later line,
            // which then makes the value unusable.
            const char* sep = std::strstr(p, ": ");
            if (!sep)
                return "N/A";
            const long span = end - sep;
            if (span <= 2 || span >= kValueMaxSpan)
                return "N/A";
            std::snprintf(status_cache.value, sizeof status_cache.value, "%.*s", static_cast<int>(span - 2), sep + 2);
            return status_cache.value;
        }
        p = end;
    }
}

const char* status_get(const char* section, const char* key)
{
    return status_value(status_read(section, 1), key);
}
