// SPDX-License-Identifier: BSD-2-Clause
// The far side of a router serial device: a pseudo-terminal linked in at the device's path.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>

namespace th {

// A pseudo-terminal master whose slave is linked at a device node, in place
// of whatever the node was before (a rename, so that a port that reopens
// finds either the old device or the new one). The node goes with the peer
// unless another peer was plugged in there since.
struct PtyPeer {
    int master = -1;
    std::string node;   // absolute path of the link
    std::string slave;  // what it links to
    std::string got;    // what read_until gathered

    PtyPeer() = default;
    // Plugged in at a router path ("/dev/ttyUSB8") of the process root.
    explicit PtyPeer(const std::string& router_path);
    ~PtyPeer() { unplug(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool plug(const std::string& path);
    // The device disappears: its node (while still this peer's) goes and
    // every open slave fails.
    void unplug();
    // Line speed the other side set on the slave (TCGETS on a master reports
    // the slave's settings); 0 when unknown.
    speed_t speed() const;
    // Bytes nobody holds the slave for, or that find its queue full, are
    // lost, as on a real line.
    void send(const std::string& text) const;
    // Everything that arrives until the line has been quiet for a moment.
    std::string drain() const { return read_quiet(master); }
    static std::string read_quiet(int fd);
    // Gathers what arrives into got until it holds text.
    bool read_until(const std::string& text, std::chrono::milliseconds timeout);
};

}  // namespace th
