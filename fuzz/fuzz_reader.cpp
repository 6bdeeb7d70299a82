// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the sentence reader with interpretation and date repair behind it:
// arbitrary bytes arrive on the receiver descriptor in arbitrary read sizes.
//
// Input: byte 0 = flags (bit 0: "$PTWS" filter on, bit 1: drop repeated GGA,
// bit 2: halted instead of moving), byte 1 = seed of the chunk sizes, the
// rest is the byte stream.
#include <sys/socket.h>

#include "fuzz_common.h"
#include "nmea/datefix.h"
#include "nmea/interpret.h"
#include "nmea/reader.h"
#include "outputs/files.h"
#include "receiver/link.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::make_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    fuzz::Rng rng{0x9E3779B9u ^ (uint32_t{data[1]} * 0x01000193u) ^ static_cast<uint32_t>(size)};
    data += 2;
    size -= 2;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;

    static ReceiverLink link;
    std::memset(&link, 0, sizeof link);
    link.fd = sv[0];
    link.date_fix_enabled = 1;
    link.ignore_enabled = flags & 1;
    link.ignore_prefix = "$PTWS";
    link.drop_repeated_gga = (flags >> 1) & 1;
    static ReceiverState state;
    nmea_state_open(&state, &link);
    state.last_fix_time = -1;
    state.moving = (flags & 4) ? 0 : 1;

    size_t off = 0;
    while (off < size) {
        // Mostly small reads as a serial line delivers them, sometimes a
        // whole buffer's worth at once.
        const uint32_t r = rng.next();
        size_t chunk = (r & 7) == 0 ? 1 + (r >> 8) % 1500 : 1 + (r >> 8) % 64;
        if (chunk > size - off)
            chunk = size - off;
        if (write(sv[1], data + off, chunk) != static_cast<ssize_t>(chunk))
            break;
        off += chunk;
        // Drain: a wait of 0 s ends the loop once nothing is left to read.
        for (int i = 0; i < 4096; ++i) {
            link.rx_timeout = 0;
            const int n = nmea_next(&link);
            if (n == 0) {
                // Nothing whole is left: the files as after a batch, then one more read.
                nmea_files_update(&state);
                if (nmea_read(&link) < 0)
                    break;
                continue;
            }
            // The invariants every output relies on.
            const char* const sentence = nmea_sentence(&link);
            if (n < 0 || n != link.sentence_len || sentence + n > link.rx_buf + link.rx_len || sentence[0] != '$' ||
                sentence[n - 2] != '\r' || sentence[n - 1] != '\n' || link.rx_buf[link.rx_len] != '\0')
                std::abort();
            (void)nmea_chsum(&link);
            (void)nmea_interpret(&state, &link);
            nmea_consume(&link);
            if (link.rx_len < 0 || link.rx_len >= kRxBufferSize)
                std::abort();
        }
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
