// SPDX-License-Identifier: BSD-2-Clause
// The far side of a router serial device: a pseudo-terminal linked in at the device's path.
#include "support/pty_peer.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "support/harness.h"
#include "support/inproc.h"

namespace th {

PtyPeer::PtyPeer(const std::string& router_path)
{
    plug(process_root() + router_path);
}

bool PtyPeer::plug(const std::string& path)
{
    unplug();
    node = path;
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
        return false;
    slave = name;
    const std::string tmp = node + ".plug";
    unlink(tmp.c_str());
    return symlink(name, tmp.c_str()) == 0 && std::rename(tmp.c_str(), node.c_str()) == 0;
}

void PtyPeer::unplug()
{
    char target[PATH_MAX];
    const ssize_t n = node.empty() ? -1 : readlink(node.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave)
        unlink(node.c_str());
    if (master >= 0)
        close(master);
    master = -1;
}

speed_t PtyPeer::speed() const
{
    termios tio{};
    if (tcgetattr(master, &tio) != 0)
        return 0;
    return cfgetospeed(&tio);
}

void PtyPeer::send(const std::string& text) const
{
    if (write(master, text.data(), text.size()) < 0) {
        // lost, as on a real line
    }
}

std::string PtyPeer::read_quiet(int fd)
{
    std::string out;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool PtyPeer::read_until(const std::string& text, std::chrono::milliseconds timeout)
{
    return wait_until(
        [&] {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
            return got.find(text) != std::string::npos;
        },
        timeout, std::chrono::milliseconds(2));
}

}  // namespace th
