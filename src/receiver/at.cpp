// SPDX-License-Identifier: BSD-2-Clause
// The AT command exchange with the module: one command written, its reply collected.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "receiver/at.h"

namespace {

// 8191 reply bytes and the NUL behind them.
constexpr int kAtReplySize = 8192;
// Reading stops after this many bytes in total, kept or drained.
constexpr int kAtDrainLimit = 65536;
// Bytes thrown away per read once the reply is full.
constexpr int kAtScratchSize = 128;
// Quiet time that ends a reply after a chunk of three bytes or more.
constexpr int kAtQuietMs = 200;

// Each thread keeps its own reply so that one exchange never overwrites the
// text another thread still reads.
thread_local char t_reply[kAtReplySize];

}  // namespace

const char* at_command(int fd, const char* command, int timeout_seconds)
{
    const std::size_t len = std::strlen(command);
    if (write(fd, command, len) < 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "write error: %s", std::strerror(saved));
    }
    std::memset(t_reply, 0, sizeof t_reply);
    const int full_ms = timeout_seconds <= 0 ? 0 : timeout_seconds > INT_MAX / 1000 ? INT_MAX : timeout_seconds * 1000;
    int wait_ms = full_ms;
    int total = 0;
    char scratch[kAtScratchSize];
    // A closed port has nothing to say; poll would merely sit out the timeout.
    while (fd >= 0) {
        // poll rather than select: a descriptor above FD_SETSIZE must not
        // write past an fd_set.
        struct pollfd pfd = {fd, POLLIN, 0};
        if (clock_poll(&pfd, 1, wait_ms) <= 0)
            break;
        ssize_t n;
        if (total <= kAtReplySize - 2)
            n = read(fd, t_reply + total, static_cast<std::size_t>(kAtReplySize - 1 - total));
        else
            n = read(fd, scratch, sizeof scratch);
        if (n <= 0)
            break;
        total += static_cast<int>(n);
        if (total >= kAtDrainLimit)
            break;
        wait_ms = n >= 3 ? kAtQuietMs : full_ms;
    }
    return t_reply;
}
