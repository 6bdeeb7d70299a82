// SPDX-License-Identifier: BSD-2-Clause
// Local NMEA outputs: serial ports and the "/dev/nmea" pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/worker.h"

struct SerialOutput {
    uint32_t enabled;
    const char* path;        // nullptr for the pseudo-terminal
    Fd fd;                   // none when closed
    long long retry_at = 0;  // monotonic ms of the next lock try; 0: now
};

inline constexpr const char* kPtyLinkPath = "/dev/nmea";

struct iovec;

void output_write(SerialOutput* out, const char* data, std::size_t length);
// Writes the sentences of one read (count pieces, total bytes) with one
// system call. A pseudo-terminal reader only ever receives whole sentences,
// and a reader who lags all of them while the queue has room: when a batch
// would not fit, the oldest whole sentences are taken back (never the rest of
// the one a reader is inside), and a batch that still does not fit is
// dropped whole.
void output_writev(SerialOutput* out, const struct iovec* pieces, int count, std::size_t total);
// The same with the monotonic clock given in milliseconds.
void output_writev_at(SerialOutput* out, const struct iovec* pieces, int count, std::size_t total, int64_t now_ms);

// Creates the pseudo-terminal and "/dev/nmea" into out; 0 on success, -1 when
// it stays disabled (logged).
int pty_open(SerialOutput* out, uint32_t enabled);
// Removes "/dev/nmea" and closes the pseudo-terminal (only after pty_open
// succeeded).
void pty_close(SerialOutput* out);
// Closes an open serial output and releases its lock.
void output_close(SerialOutput* out);
