// SPDX-License-Identifier: BSD-2-Clause
// Reading the router's status tool.
#include "platform/status_tool.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/run.h"

namespace {

constexpr std::size_t kSectionSize = 32;
constexpr std::size_t kValueSize = 128;
// The status tool's output is kept up to this size; longer output is cut.
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

    // Longer output is read and dropped, so the tool never waits on a full
    // pipe and stalls this thread.
    const char* argv[] = {"/usr/bin/status", "-v", section, nullptr};
    ProcOutput out{.text = c.output, .size = kOutputSize};
    int status = -1;
    if (proc_run(argv, ProcStart{}, kProcNoLimit, &out, &status) != 0 || status != 0)
        return "";  // not cached
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
