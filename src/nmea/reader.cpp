// SPDX-License-Identifier: BSD-2-Clause
// Sentence framing of the receiver stream: one whole NMEA sentence per call, handed out in place.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nmea/datefix.h"
#include "nmea/reader.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"

namespace {

// The buffer keeps one byte free so that a NUL always fits behind the data.
constexpr int kRxDataMax = kRxBufferSize - 1;
// Once data has flowed, this much silence means the receiver is gone.
constexpr int kRxTimeoutFlowing = 2;

// Offset of the line end of the sentence at buf (len bytes, NUL behind them),
// or -1. Whichever line end comes first counts: "\r\n", or the "\n\n" some
// receivers send, which is rewritten to "\r\n" in place. A NUL hides
// everything behind it. Only the sentence itself is looked at for a NUL, not
// the rest of the read: a read holds many sentences.
int find_line_end(char* buf, int len)
{
    for (int i = 1; i < len; ++i) {
        const void* lf = std::memchr(buf + i, '\n', static_cast<size_t>(len - i));
        if (!lf)
            return -1;
        i = static_cast<int>(static_cast<const char*>(lf) - buf);
        const bool crlf = buf[i - 1] == '\r';
        if (!crlf && !(i + 1 < len && buf[i + 1] == '\n'))
            continue;
        if (std::memchr(buf, '\0', static_cast<size_t>(crlf ? i + 1 : i + 2)))
            return -1;
        if (crlf)
            return i - 1;
        buf[i] = '\r';
        return i;
    }
    return -1;
}

// Takes n bytes just read into room free bytes of the buffer.
// A read that failed (n < 0, errno set) or found the end of the port: a
// module that re-enumerates on USB leaves its old port at end of file.
void log_read_error(ssize_t n)
{
    log_msg(LOG_ERR, "read error: %s", n == 0 ? "end of file" : std::strerror(errno));
}

int rx_appended(NmeaReader* rd, ssize_t n, int room)
{
    rd->rx_len += static_cast<int>(n);
    rd->rx_buf[rd->rx_len] = '\0';
    rd->rx_timeout = kRxTimeoutFlowing;
    if (n == room) {
        // Reading on without a wait needs a port that never blocks a read.
        if (rd->rx_nonblocking == 0)
            rd->rx_nonblocking = (fcntl(rd->fd, F_GETFL) & O_NONBLOCK) ? 2 : 1;
        rd->rx_more = rd->rx_nonblocking == 2;
    }
    return 0;
}

}  // namespace

int nmea_read(NmeaReader* rd)
{
    // No descriptor is a failed wait: poll would otherwise sit out the whole timeout on it.
    if (!rd || rd->fd < 0)
        return -1;
    if (rd->rx_len < 0 || rd->rx_len > kRxDataMax || rd->rx_start < 0 || rd->rx_start > rd->rx_len)
        rd->rx_len = rd->rx_start = 0;
    // What was handed on is no longer needed: the unframed rest moves to the front.
    if (rd->rx_start > 0) {
        rd->rx_len -= rd->rx_start;
        std::memmove(rd->rx_buf, rd->rx_buf + rd->rx_start, static_cast<size_t>(rd->rx_len));
        rd->rx_start = 0;
        rd->rx_buf[rd->rx_len] = '\0';
    }
    const int room = kRxDataMax - rd->rx_len;
    if (room <= 0)
        return 0;  // full: the framer must make room first
    // After a read that filled the buffer the receiver is likely ahead of us:
    // read on without the wait (a flood costs one system call less per read).
    if (rd->rx_more) {
        rd->rx_more = 0;
        errno = 0;
        const ssize_t n = read(rd->fd, rd->rx_buf + rd->rx_len, static_cast<size_t>(room));
        if (n > 0)
            return rx_appended(rd, n, room);
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            log_read_error(n);
            return -1;
        }
        // Nothing after all: back to the caller, which finishes what it put
        // off while more was waiting before the next call waits.
        return 0;
    }
    // poll rather than select: the descriptor number is not bounded by FD_SETSIZE.
    // The stop descriptor ends the wait even when the stop signal came just
    // before the call, where an interrupted poll alone would sit out the
    // whole timeout.
    const int stop_fd = plat_stop_fd();
    if (plat_stop_seen())
        return -1;
    pollfd pfd[2] = {{rd->fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int timeout_ms = rd->rx_timeout > 0 ? rd->rx_timeout * 1000 : 0;
    const int ready = clock_poll(pfd, 2, timeout_ms);
    if (ready < 0 || pfd[1].revents != 0) {
        // Stopped, interrupted or failed: the caller decides, no message.
        return -1;
    }
    if (ready == 0) {
        log_msg(LOG_ERR, "select timeout");
        return -1;
    }
    // A hang-up or error is "readable" as well: the read below reports it.
    if ((pfd[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
        log_msg(LOG_WARNING, "select read file descriptor not set");
        return 0;
    }
    const ssize_t n = read(rd->fd, rd->rx_buf + rd->rx_len, static_cast<size_t>(room));
    if (n <= 0) {
        log_read_error(n);
        return -1;
    }
    return rx_appended(rd, n, room);
}

int nmea_next(NmeaReader* rd)
{
    if (!rd)
        return 0;
    if (rd->rx_len <= 0 || rd->rx_len > kRxDataMax || rd->rx_start < 0 || rd->rx_start >= rd->rx_len) {
        // Everything read has been handed on or dropped.
        rd->rx_start = rd->rx_len = 0;
        rd->sentence_len = 0;
        return 0;
    }
    char* const data = rd->rx_buf;
    data[rd->rx_len] = '\0';
    for (;;) {
        rd->sentence_len = 0;
        rd->date_suspect = 0;
        // Resynchronise on the next '$': anything before it is not part of a sentence.
        if (data[rd->rx_start] != '$') {
            const auto* dollar = static_cast<const char*>(
                std::memchr(data + rd->rx_start, '$', static_cast<size_t>(rd->rx_len - rd->rx_start)));
            rd->rx_start = dollar ? static_cast<int>(dollar - data) : rd->rx_len;
            if (!dollar)
                return 0;
        }
        char* const buf = data + rd->rx_start;
        const int avail = rd->rx_len - rd->rx_start;
        const int end = find_line_end(buf, avail);
        if (end < 0) {
            // A NUL hides any line end behind it: drop up to the next '$'.
            if (std::memchr(buf, '\0', static_cast<size_t>(avail))) {
                buf[0] = '~';
                continue;
            }
            if (rd->rx_start == 0 && avail > kRxDataMax - 1) {
                log_msg(LOG_ERR, "NMEA receive buffer overflow");
                rd->rx_start = rd->rx_len = 0;
            }
            return 0;
        }
        rd->sentence_len = end + 2;

        // Incoming checksums are not verified, but a sentence must at least carry one.
        if (!std::memchr(buf, '*', static_cast<size_t>(rd->sentence_len))) {
            nmea_consume(rd);
            continue;
        }
        if (rd->ignore_enabled && rd->ignore_prefix) {
            const size_t plen = std::strlen(rd->ignore_prefix);
            if (plen <= static_cast<size_t>(rd->sentence_len) && std::memcmp(buf, rd->ignore_prefix, plen) == 0) {
                nmea_consume(rd);
                continue;
            }
        }
        rd->date_suspect = nmea_datefix(rd) < 0 ? 1 : 0;
        return rd->sentence_len;
    }
}

char* nmea_sentence(NmeaReader* rd)
{
    return rd->rx_buf + rd->rx_start;
}

void nmea_consume(NmeaReader* rd)
{
    if (!rd)
        return;
    int n = rd->sentence_len;
    if (n < 0)
        n = 0;
    if (n > rd->rx_len - rd->rx_start)
        n = rd->rx_len - rd->rx_start;
    // Nothing moves: earlier sentences of this read stay in place until the
    // outputs have taken them.
    rd->rx_start += n;
    rd->sentence_len = 0;
}
