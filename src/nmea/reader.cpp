// Sentence framing of the receiver stream: one whole NMEA sentence per call, handed out in place.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nmea/nmea.h"
#include "platform/platform.h"
#include "receiver/link.h"

namespace {

// The buffer keeps one byte free so that a NUL always fits behind the data.
constexpr int kRxDataMax = kRxBufferSize - 1;
// Once data has flowed, this much silence means the receiver is gone.
constexpr int kRxTimeoutFlowing = 2;

// Length of the framed sentence without its line end, for quoting it in a message.
int quoted_len(const ReceiverLink* link)
{
    int n = link->sentence_len;
    if (n > link->rx_len)
        n = link->rx_len;
    while (n > 0 && (link->rx_buf[n - 1] == '\n' || link->rx_buf[n - 1] == '\r'))
        --n;
    return n < 0 ? 0 : n;
}

} // namespace

int nmea_read(ReceiverLink* link)
{
    // No descriptor is a failed wait: poll would otherwise sit out the whole timeout on it.
    if (!link || link->fd < 0)
        return -1;
    if (link->rx_len < 0 || link->rx_len > kRxDataMax)
        link->rx_len = 0;
    // poll rather than select: the descriptor number is not bounded by FD_SETSIZE.
    pollfd pfd{link->fd, POLLIN, 0};
    const int timeout_ms = link->rx_timeout > 0 ? link->rx_timeout * 1000 : 0;
    const int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0) {
        // Interrupted (SIGTERM) or failed: the caller decides, no message.
        return -1;
    }
    if (ready == 0) {
        log_msg(LOG_ERR, "select timeout");
        return -1;
    }
    // A hang-up or error is "readable" as well: the read below reports it.
    if ((pfd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
        log_msg(LOG_WARNING, "select read file descriptor not set");
        return 0;
    }
    const int room = kRxDataMax - link->rx_len;
    if (room <= 0)
        return 0;  // full: the framer must make room first
    errno = 0;  // end of file leaves errno alone: report it as "Success", not a stale error
    const ssize_t n = read(link->fd, link->rx_buf + link->rx_len, static_cast<size_t>(room));
    if (n <= 0) {
        const int saved = errno;
        log_msg(LOG_ERR, "read error: %s", std::strerror(saved));
        return -1;
    }
    link->rx_len += static_cast<int>(n);
    link->rx_timeout = kRxTimeoutFlowing;
    return 0;
}

int nmea_next(ReceiverLink* link)
{
    if (!link)
        return -1;
    if (location_watchdog(link) < 0)
        return -2;
    if (link->rx_len <= 0 || link->rx_len > kRxDataMax) {
        link->rx_len = 0;
        return nmea_read(link);
    }
    char* const buf = link->rx_buf;

    // Resynchronise on the next '$': anything before it is not part of a sentence.
    if (buf[0] != '$') {
        const auto* dollar = static_cast<const char*>(std::memchr(buf, '$', static_cast<size_t>(link->rx_len)));
        if (!dollar) {
            link->rx_len = 0;
            return nmea_read(link);
        }
        const int skip = static_cast<int>(dollar - buf);
        link->rx_len -= skip;
        std::memmove(buf, dollar, static_cast<size_t>(link->rx_len));
    }

    buf[link->rx_len] = '\0';
    char* end = std::strstr(buf, "\r\n");
    if (!end) {
        // Some receivers end their lines with "\n\n"; hand those on as "\r\n".
        end = std::strstr(buf, "\n\n");
        if (end) {
            *end = '\r';
        } else {
            // A NUL hides any line end behind it: drop up to the next '$' next time.
            if (std::memchr(buf, '\0', static_cast<size_t>(link->rx_len))) {
                buf[0] = '~';
                return 0;
            }
            if (link->rx_len > kRxDataMax - 1) {
                log_msg(LOG_ERR, "NMEA receive buffer overflow");
                link->rx_len = 0;
            }
            return nmea_read(link);
        }
    }
    link->sentence_len = static_cast<int>(end - buf) + 2;

    // Incoming checksums are not verified, but a sentence must at least carry one.
    if (!std::memchr(buf, '*', static_cast<size_t>(link->sentence_len))) {
        nmea_consume(link);
        return 0;
    }
    if (link->ignore_enabled && link->ignore_prefix) {
        const size_t plen = std::strlen(link->ignore_prefix);
        if (plen <= static_cast<size_t>(link->sentence_len) && std::memcmp(buf, link->ignore_prefix, plen) == 0) {
            nmea_consume(link);
            return 0;
        }
    }

    link->report.updated = 0;
    nmea_datefix(link);
    if (!nmea_interpret(link))
        return 0;
    return link->sentence_len;
}

void nmea_consume(ReceiverLink* link)
{
    if (!link)
        return;
    int n = link->sentence_len;
    if (n < 0)
        n = 0;
    if (n > link->rx_len)
        n = link->rx_len;
    link->rx_len -= n;
    if (link->rx_len > 0)
        std::memmove(link->rx_buf, link->rx_buf + n, static_cast<size_t>(link->rx_len));
    link->sentence_len = 0;
}

unsigned nmea_chsum(ReceiverLink* link)
{
    if (!link)
        return 0;
    const char* const buf = link->rx_buf;
    const int len = link->sentence_len;
    if (len < 5) {
        log_msg(LOG_WARNING, "%s() - too short NMEA sentence \"%.*s\"", "nmea_chsum", quoted_len(link), buf);
        return 0;
    }
    unsigned sum = static_cast<unsigned char>(buf[1]);
    for (int i = 2; i < len; ++i) {
        const char c = buf[i];
        if (c == '*')
            break;
        if (c == '\0') {
            log_msg(LOG_WARNING, "%s() - NMEA sentence end not found in \"%.*s\"", "nmea_chsum", quoted_len(link),
                    buf);
            break;
        }
        sum ^= static_cast<unsigned char>(c);
    }
    return sum;
}
