// SPDX-License-Identifier: BSD-2-Clause
// The sentence reader: its receive buffer, framing state, per-link flags and fix watchdog times.
#pragma once

#include <cstdint>
#include <ctime>

// Receive buffer: 1023 data bytes and room for the NUL behind them.
inline constexpr int kRxBufferSize = 1024;

// What the reader keeps of one receiver port. The link that opens the port
// owns the descriptor; the driver sets the flags that fit its module while it
// starts the engine, and the link the watchdog and date settings.
struct NmeaReader {
    int fd;          // the port read (not owned); -1: none
    int rx_timeout;  // seconds
    char rx_buf[kRxBufferSize];
    int rx_len;
    int rx_start;           // where the unconsumed data of rx_buf begins
    int sentence_len;       // the sentence framed at rx_start
    uint32_t date_suspect;  // its date is a rollover victim left unrepaired
    uint32_t rx_more;       // the last read filled the buffer: more is likely waiting
    int rx_nonblocking;     // 0: not known yet; 1: reads wait; 2: reads return at once
    uint32_t drop_repeated_gga;
    uint32_t ignore_enabled;
    const char* ignore_prefix;
    uint32_t watchdog_enabled;
    uint32_t watchdog_timeout;
    uint32_t date_fix_enabled;
    time_t opened_at;  // monotonic second the engine started; -1 = not available
};

// Frames the next whole buffered sentence in place at nmea_sentence(rd)
// and repairs its date; never reads and never writes a file. >0: its length
// (line end included); 0: no whole sentence is left of what was read.
[[nodiscard]] int nmea_next(NmeaReader* rd);
// Drops what has been consumed, waits for the receiver and appends what it
// sent. 0: read (or nothing this time); -1: no reader, read failure or silence.
// After a read that filled the buffer (rd->rx_more) the next call reads on
// without a wait, and returns 0 with nothing new rather than wait: whatever
// the caller put off while more was waiting, it does before calling again.
int nmea_read(NmeaReader* rd);
// The sentence nmea_next framed last.
char* nmea_sentence(NmeaReader* rd);
void nmea_consume(NmeaReader* rd);
