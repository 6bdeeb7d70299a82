// SPDX-License-Identifier: BSD-2-Clause
// A small MQTT broker peer that misbehaves on request: the fleet feed's tests run against it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace th {

// A broker that takes the connect and then answers as its mode says: it
// never answers what follows (nor the pings), declares a packet of 268 MB,
// drops the connection at the first publish (a policy that refuses the
// topic), or acknowledges every publish and answers pings as a sound broker
// does. The mode may change while it runs; a session ends on request.
struct MqttPeer {
    enum class Mode { silent, huge, drops, acks, none };  // none: no session is expected
    std::atomic<Mode> mode;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false}, end_session{false}, in_session{false};
    std::atomic<int> connections{0}, publishes{0};  // MQTT sessions, PUBLISH packets
    std::mutex lock;
    std::vector<long long> connected_at;  // the service clock at each session's connect
    std::thread thread;

    explicit MqttPeer(Mode m) : mode(m)
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener, 4) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~MqttPeer()
    {
        stop = true;
        thread.join();
        close(listener);
    }
    MqttPeer(const MqttPeer&) = delete;
    MqttPeer& operator=(const MqttPeer&) = delete;

    std::vector<long long> sessions()
    {
        std::lock_guard<std::mutex> g(lock);
        return connected_at;
    }
    // One byte within the test's patience, or false.
    bool byte(int fd, unsigned char* b)
    {
        pollfd p{fd, POLLIN, 0};
        while (!stop && !end_session)
            if (poll(&p, 1, 50) > 0)
                return read(fd, b, 1) == 1;
        return false;
    }
    // One packet read whole: its first byte, or -1 when the connection
    // ended. The body goes to *body when asked.
    int packet(int fd, std::string* body = nullptr)
    {
        unsigned char head, b;
        if (!byte(fd, &head))
            return -1;
        std::size_t length = 0;
        for (int shift = 0; byte(fd, &b); shift += 7) {
            length |= static_cast<std::size_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) {
                for (; length > 0; --length) {
                    if (!byte(fd, &b))
                        return -1;
                    if (body)
                        body->push_back(static_cast<char>(b));
                }
                return head;
            }
        }
        return -1;
    }
    // Answers a packet as a sound broker does: a QoS 1 publish with its
    // acknowledgement, a ping with its answer.
    static void answer(int fd, int head, const std::string& body)
    {
        if ((head >> 4) == 3 && (head & 0x06) == 0x02 && body.size() >= 2) {
            const std::size_t topic = (static_cast<unsigned char>(body[0]) << 8) | static_cast<unsigned char>(body[1]);
            if (body.size() >= topic + 4) {
                const unsigned char puback[] = {0x40, 0x02, static_cast<unsigned char>(body[topic + 2]),
                                                static_cast<unsigned char>(body[topic + 3])};
                (void)!write(fd, puback, sizeof puback);
            }
        } else if ((head >> 4) == 12) {
            static const unsigned char pingresp[] = {0xD0, 0x00};
            (void)!write(fd, pingresp, sizeof pingresp);
        }
    }
    void session(int fd)
    {
        ++connections;
        {
            std::lock_guard<std::mutex> g(lock);
            connected_at.push_back(monotonic_ms());
        }
        static const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
        (void)!write(fd, connack, sizeof connack);
        if (mode == Mode::huge) {
            static const unsigned char declared[] = {0x30, 0xFF, 0xFF, 0xFF, 0x7F};
            const std::string junk(65536, 'x');
            (void)!write(fd, declared, sizeof declared);
            (void)!write(fd, junk.data(), junk.size());
        }
        std::string body;
        for (int head; (head = packet(fd, &body)) >= 0; body.clear()) {
            publishes += (head >> 4) == 3 ? 1 : 0;
            if ((head >> 4) == 3 && mode == Mode::drops)
                break;
            if (mode == Mode::acks)
                answer(fd, head, body);
        }
    }
    void serve()
    {
        pollfd p{listener, POLLIN, 0};
        while (!stop) {
            if (poll(&p, 1, 50) <= 0)
                continue;
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            end_session = false;
            // A bare TCP connect (the daemon looking whether the broker is back) is no session.
            std::string body;
            if ((packet(fd, &body) >> 4) == 1) {
                in_session = true;
                session(fd);
            }
            close(fd);
            in_session = false;
        }
    }
};

}  // namespace th
