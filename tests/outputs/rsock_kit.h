// SPDX-License-Identifier: BSD-2-Clause
// Remote stream test kit: loopback servers, recorders, numbered bursts and descriptor and thread counts.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "outputs/burst_queue.h"
#include "outputs/rsock.h"
#include "outputs/sock.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "support/harness.h"
#include "support/in_root.h"

namespace rsock_kit {

using namespace std::chrono_literals;

using Clock = std::chrono::steady_clock;

// A loopback socket that can listen, or stay bound without listening so that
// connects to its port are refused. IPv6 (::1) when family is AF_INET6, on
// the given port when one is given; port stays 0 when the bind failed.
struct Endpoint {
    int fd = -1;
    int port = 0;
    Endpoint(int type, bool do_listen, int backlog = 16, int rcvbuf = 0, int family = AF_INET, int want_port = 0)
    {
        fd = socket(family, type | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        SockAddr sa{};
        if (family == AF_INET6) {
            sa.in6.sin6_family = AF_INET6;
            sa.in6.sin6_addr = in6addr_loopback;
            sa.in6.sin6_port = htons(static_cast<uint16_t>(want_port));
        } else {
            sa.in4.sin_family = AF_INET;
            sa.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.in4.sin_port = htons(static_cast<uint16_t>(want_port));
        }
        if (bind(fd, &sa.sa, sizeof sa) != 0)
            return;
        if (do_listen)
            listen(fd, backlog);
        socklen_t len = sizeof sa;
        getsockname(fd, &sa.sa, &len);
        port = ntohs(family == AF_INET6 ? sa.in6.sin6_port : sa.in4.sin_port);
    }
    ~Endpoint()
    {
        if (fd >= 0)
            close(fd);
    }
    // Accepts one connection, or -1 after timeout.
    int accept_one(std::chrono::milliseconds timeout) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

inline RemoteSocketSettings make_settings(const char* host, int protocol, int port, unsigned period, unsigned halt)
{
    RemoteSocketSettings s{};
    s.enabled = 1;
    s.ipaddr = const_cast<char*>(host);
    s.protocol = static_cast<uint32_t>(protocol);
    s.port = static_cast<uint32_t>(port);
    s.period = period;
    s.period_halt = halt;
    return s;
}

inline int count_entries(const char* dir)
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

inline int fd_count()
{
    return count_entries("/proc/self/fd");
}

inline int thread_count()
{
    return count_entries("/proc/self/task");
}

// A joined thread may still be listed for a while: under a user-mode
// emulator the host thread ends only after the join has returned. Counts are
// taken once they have held still for half a second.
inline int settled_thread_count()
{
    int count = thread_count();
    for (int still = 0, rounds = 0; still < 5 && rounds < 100; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int now = thread_count();
        still = now == count ? still + 1 : 0;
        count = now;
    }
    return count;
}

inline bool threads_settle_to(int expected)
{
    return th::wait_until([&] { return thread_count() == expected; }, std::chrono::seconds(5));
}

// The descriptor of this process connected to the given server port.
inline int client_fd_for(int server_port)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 && sa.sin_family == AF_INET &&
            ntohs(sa.sin_port) == server_port)
            return fd;
    }
    return -1;
}

// Records what a server connection receives, with arrival times on the
// service clock (the test clock's reading when one runs).
struct Recorder {
    struct Chunk {
        long long at_ms;
        std::string bytes;
    };
    int fd;
    std::atomic<bool> stop{false};
    std::atomic<bool> paused{false};  // a server that stops reading for a while
    std::mutex m;
    std::vector<Chunk> chunks;
    std::thread t;
    explicit Recorder(int conn) : fd(conn)
    {
        t = std::thread([this] {
            char buf[70000];
            while (!stop) {
                if (paused) {
                    std::this_thread::sleep_for(20ms);
                    continue;
                }
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> g(m);
                chunks.push_back({monotonic_ms(), std::string(buf, static_cast<std::size_t>(n))});
            }
        });
    }
    ~Recorder()
    {
        stop = true;
        t.join();
        close(fd);
    }
    std::string all()
    {
        std::lock_guard<std::mutex> g(m);
        std::string s;
        for (auto& c : chunks)
            s += c.bytes;
        return s;
    }
    uint64_t size()
    {
        std::lock_guard<std::mutex> g(m);
        uint64_t n = 0;
        for (auto& c : chunks)
            n += c.bytes.size();
        return n;
    }
};

// Waits until the stream is connected, through the address given where one is.
inline bool connected(RemoteSocket* rs, const std::string& address = "")
{
    return th::wait_until(
        [&] {
            const RsockStatus st = rsock_status(rs);
            return std::strcmp(st.state, "connected") == 0 && (address.empty() || st.address == address);
        },
        10s);
}

// At a tick of the stream on the test clock: waits (in real time) for the
// worker to send or keep what falls due at this tick and, where a server
// reads (rec), for it to have taken all that was sent, so that the arrivals
// carry the tick's reading. A tick that sends and keeps nothing costs the
// whole of idle. A worker left behind by more than a tick would start its
// count afresh. earlier: bytes the server took on connections before rec's.
inline void let_tick_send(RemoteSocket* rs, Recorder* rec, std::chrono::milliseconds idle, uint64_t earlier = 0)
{
    const RsockStatus before = rsock_status(rs);
    th::settle(
        [&] {
            const RsockStatus now = rsock_status(rs);
            return now.bytes_sent != before.bytes_sent || now.backlog != before.backlog;
        },
        idle);
    if (rec)
        th::wait_until([&] { return earlier + rec->size() == rsock_status(rs).bytes_sent; }, 5s);
}

// Bursts of three sentences each, numbered; written from their own thread the
// way the main loop writes one receiver cycle.
inline std::string burst_text(int n, std::size_t pad = 0)
{
    std::string s;
    for (int i = 0; i < 3; ++i)
        s += "$GPTST," + std::to_string(n) + "," + std::to_string(i) + "," + std::string(pad, 'p') + "*00\r\n";
    return s;
}

inline void write_burst(RemoteSocket* rs, int n, int moving, std::size_t pad = 0)
{
    for (int i = 0; i < 3; ++i) {
        std::string line = "$GPTST," + std::to_string(n) + "," + std::to_string(i) + "," + std::string(pad, 'p') +
                           "*00\r\n";
        rsock_write(rs, line.data(), line.size(), moving);
    }
}

// A fixed small send buffer (no autotuning) on the worker's side of its
// connection to server_port, so that its sends are held up after a burst or
// two; set once the worker has its connection (*fd, where asked).
inline void small_send_buffer(int server_port, int* fd = nullptr)
{
    int cfd = -1;
    ASSERT_TRUE(th::wait_until([&] { return (cfd = client_fd_for(server_port)) >= 0; }, 5s));
    const int small = 4096;
    setsockopt(cfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    if (fd)
        *fd = cfd;
}

// Splits received bytes into the burst numbers they carry; -1 marks a torn burst.
inline std::vector<int> bursts_in(const std::string& text, std::size_t pad = 0)
{
    std::vector<int> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t comma = text.find(',', pos + 7);
        if (text.compare(pos, 7, "$GPTST,") != 0 || comma == std::string::npos)
            return out.push_back(-1), out;
        int n = std::atoi(text.c_str() + pos + 7);
        std::string b = burst_text(n, pad);
        if (text.compare(pos, b.size(), b) != 0)
            return out.push_back(-1), out;
        out.push_back(n);
        pos += b.size();
    }
    return out;
}

}  // namespace rsock_kit
