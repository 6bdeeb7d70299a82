// SPDX-License-Identifier: BSD-2-Clause
// Helpers shared by the sentence tests: links fed through a socket, framed sentences, checksums.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "nmea/datefix.h"
#include "nmea/interpret.h"
#include "nmea/reader.h"
#include "nmea/watchdog.h"
#include "outputs/files.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace nt {

// Every in-process test of this program shares one simulation root, set before anything logs.
inline const std::string& g_root = th::process_root();

// A reader and what its sentences said, side by side as the main loop keeps
// them; made as a freshly opened link leaves it.
struct Link : NmeaReader, ReceiverState {
    Link();
};

// A reader as a freshly opened link leaves it: nothing buffered, short waits.
inline void init_link(Link& link)
{
    static_cast<NmeaReader&>(link) = NmeaReader{};
    static_cast<ReceiverState&>(link) = ReceiverState{};
    link.fd = -1;
    link.rx_timeout = 2;
    nmea_state_open(&link, &link);
}

inline Link::Link()
{
    init_link(*this);
}

// One step of the main loop: the watchdog, then the next whole sentence of
// what was read, interpreted (the files brought up to date once nothing
// whole is left), else one more read. >0: a sentence at nmea_sentence(); 0:
// nothing this time; negative: the link failed or the watchdog fired.
inline int step(Link& link)
{
    if (location_watchdog(&link, &link) < 0)
        return -2;
    for (;;) {
        const int n = nmea_next(&link);
        if (n <= 0)
            break;
        if (nmea_interpret(&link, &link))
            return n;
        nmea_consume(&link);
    }
    nmea_files_update(&link);
    return nmea_read(&link);
}

// Places one whole sentence at the start of the buffer as the reader frames it.
inline void frame(NmeaReader& link, std::string_view s)
{
    if (s.size() >= kRxBufferSize)
        s = s.substr(0, kRxBufferSize - 1);  // as much as the reader could ever frame
    s.copy(link.rx_buf, s.size());
    link.rx_len = static_cast<int>(s.size());
    link.rx_start = 0;
    link.sentence_len = link.rx_len;
    link.rx_buf[s.size()] = '\0';
}

inline std::string framed(const NmeaReader& link)
{
    return std::string(link.rx_buf, static_cast<size_t>(link.sentence_len));
}

// "$GPxxx,..." -> "$GPxxx,...*HH\r\n" with a correct upper-case checksum.
inline std::string with_cs(std::string_view body)
{
    return th::with_checksum(std::string(body.substr(1)));
}

struct Replay {
    std::vector<std::string> sentences;  // every positive result, in order
    std::vector<int> results;            // every result, in order
    int last = 0;                        // the negative result that ended the run
};

// Feeds bytes into a link through a socket from another thread, cut into the given chunk
// sizes (cycled), then closes; collects what nmea_next hands out until it fails.
inline Replay replay(Link& link, const std::string& bytes, const std::vector<size_t>& chunks = {1 << 20})
{
    int sv[2];
    Replay out;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return out;
    link.fd = sv[0];
    std::thread writer([&bytes, &chunks, fd = sv[1]] {
        size_t at = 0;
        for (size_t k = 0; at < bytes.size(); ++k) {
            size_t n = chunks[k % chunks.size()];
            if (n > bytes.size() - at)
                n = bytes.size() - at;
            ssize_t w = write(fd, bytes.data() + at, n);
            if (w <= 0)
                break;
            at += static_cast<size_t>(w);
        }
        close(fd);
    });
    for (int guard = 0; guard < 10000000; ++guard) {
        const int n = step(link);
        out.results.push_back(n);
        if (n < 0) {
            out.last = n;
            break;
        }
        if (n > 0) {
            out.sentences.emplace_back(nmea_sentence(&link), static_cast<size_t>(n));
            nmea_consume(&link);
        }
    }
    writer.join();
    nmea_files_update(&link);
    close(sv[0]);
    link.fd = -1;
    return out;
}

inline std::string run_path(const char* router_path)
{
    return th::process_root() + router_path;
}

}  // namespace nt
