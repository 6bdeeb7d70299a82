// SPDX-License-Identifier: BSD-2-Clause
// Loopback TCP/UDP servers that record what they receive and misbehave on command.
//
//   gnssd-sim server --dir DIR [--rcvbuf BYTES] tcp[6]:NAME[:PORT] udp[6]:NAME[:PORT] ...
//
// Every server listens on 127.0.0.1, or on ::1 when given as tcp6: or udp6:
// (PORT 0 or none: a free port). Files in DIR: NAME.port (the port, written
// once listening), NAME.data (every byte received, appended in arrival order)
// and server.log, one line per event:
//   <ms> <name> listen <port> | accept <peer port> | recv <offset> <length>
//   | closed | error <text> | stopped | reset | stalled | resumed | dropped
//   <ms> ctl <command line>   (written once the command has been applied)
// <ms> is CLOCK_MONOTONIC in milliseconds. Commands, one per line, are read
// from the FIFO DIR/control (created here) and from standard input:
//   stop NAME     close the listener and every connection (connects are refused)
//   start NAME    listen again on the same port
//   reset NAME    abort every connection with a reset (SO_LINGER 0)
//   drop NAME     close every connection normally, keep listening
//   stall NAME    stop reading (a TCP sender's window fills up)
//   resume NAME   read again
//   churn NAME on|off   close each new connection as soon as it is accepted
//   chatter NAME on|off send 100 bytes to every connection every 0.2 s
//   quit          end the program (so do SIGTERM and SIGINT)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "sim.h"

namespace {

volatile sig_atomic_t g_quit = 0;

void on_signal(int)
{
    g_quit = 1;
}

struct Server {
    std::string name;
    bool tcp = true;
    bool ipv6 = false;
    int port = 0;
    int listen_fd = -1;  // TCP listener or the UDP socket
    std::vector<int> conns;
    bool stalled = false;
    bool churn = false;
    bool chatter = false;
    long long chatter_due = 0;  // ms
    int data_fd = -1;
    long long offset = 0;  // bytes in NAME.data
};

struct NetServer {
    std::string dir;
    int rcvbuf = 0;
    int log_fd = -1;
    std::vector<Server> servers;
};

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void event(NetServer& ns, const std::string& who, const std::string& what)
{
    std::string line = std::to_string(now_ms()) + " " + who + " " + what + "\n";
    ssize_t ignored = write(ns.log_fd, line.data(), line.size());
    (void)ignored;
}

bool write_port_file(NetServer& ns, const Server& s)
{
    std::string path = ns.dir + "/" + s.name + ".port";
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "%d\n", s.port);
    std::fclose(f);
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool server_listen(NetServer& ns, Server& s)
{
    int fd = socket(s.ipv6 ? AF_INET6 : AF_INET, (s.tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ns.rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ns.rcvbuf, sizeof ns.rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(s.port));
    sockaddr_in6 sa6{};
    sa6.sin6_family = AF_INET6;
    sa6.sin6_addr = in6addr_loopback;
    sa6.sin6_port = sa.sin_port;
    sockaddr* addr = s.ipv6 ? reinterpret_cast<sockaddr*>(&sa6) : reinterpret_cast<sockaddr*>(&sa);
    socklen_t len = s.ipv6 ? sizeof sa6 : sizeof sa;
    if (bind(fd, addr, len) < 0 || (s.tcp && listen(fd, 16) < 0)) {
        event(ns, s.name, std::string("error ") + std::strerror(errno));
        close(fd);
        return false;
    }
    getsockname(fd, addr, &len);
    s.port = ntohs(s.ipv6 ? sa6.sin6_port : sa.sin_port);
    s.listen_fd = fd;
    event(ns, s.name, "listen " + std::to_string(s.port));
    return write_port_file(ns, s);
}

void close_conns(Server& s, bool reset)
{
    for (int fd : s.conns) {
        if (reset) {
            linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(fd);
    }
    s.conns.clear();
}

void record(NetServer& ns, Server& s, const char* data, ssize_t n)
{
    ssize_t ignored = write(s.data_fd, data, static_cast<std::size_t>(n));
    (void)ignored;
    event(ns, s.name, "recv " + std::to_string(s.offset) + " " + std::to_string(n));
    s.offset += n;
}

Server* find(NetServer& ns, const std::string& name)
{
    for (Server& s : ns.servers)
        if (s.name == name)
            return &s;
    return nullptr;
}

void command(NetServer& ns, const std::string& line)
{
    char verb[32] = "", name[128] = "", arg[32] = "";
    if (std::sscanf(line.c_str(), "%31s %127s %31s", verb, name, arg) < 1)
        return;
    std::string v = verb;
    if (v == "quit") {
        g_quit = 1;
    } else if (Server* s = find(ns, name)) {
        if (v == "stop") {
            close_conns(*s, false);
            if (s->listen_fd >= 0)
                close(s->listen_fd);
            s->listen_fd = -1;
            event(ns, s->name, "stopped");
        } else if (v == "start") {
            if (s->listen_fd < 0)
                server_listen(ns, *s);
        } else if (v == "reset") {
            close_conns(*s, true);
            event(ns, s->name, "reset");
        } else if (v == "drop") {
            close_conns(*s, false);
            event(ns, s->name, "dropped");
        } else if (v == "stall") {
            s->stalled = true;
            event(ns, s->name, "stalled");
        } else if (v == "resume") {
            s->stalled = false;
            event(ns, s->name, "resumed");
        } else if (v == "churn") {
            s->churn = std::strcmp(arg, "on") == 0;
        } else if (v == "chatter") {
            s->chatter = std::strcmp(arg, "on") == 0;
        }
    }
    event(ns, "ctl", line);
}

// Splits buffered control input into lines and applies each.
void take_commands(NetServer& ns, std::string& pending, int fd)
{
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return;
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            command(ns, line);
    }
}

int usage()
{
    std::fprintf(stderr,
                 "usage: gnssd-sim server --dir DIR [--rcvbuf BYTES] tcp[6]:NAME[:PORT] udp[6]:NAME[:PORT]...\n");
    return 2;
}

}  // namespace

int netserver_main(int argc, char** argv)
{
    NetServer ns;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            ns.dir = argv[++i];
        } else if (a == "--rcvbuf" && i + 1 < argc) {
            ns.rcvbuf = std::atoi(argv[++i]);
        } else if (a.rfind("tcp:", 0) == 0 || a.rfind("udp:", 0) == 0 || a.rfind("tcp6:", 0) == 0 ||
                   a.rfind("udp6:", 0) == 0) {
            Server s;
            s.tcp = a[0] == 't';
            s.ipv6 = a[3] == '6';
            std::string rest = a.substr(s.ipv6 ? 5 : 4);
            std::size_t colon = rest.find(':');
            s.name = rest.substr(0, colon);
            if (colon != std::string::npos)
                s.port = std::atoi(rest.c_str() + colon + 1);
            if (s.name.empty() || s.name == "ctl")
                return usage();
            ns.servers.push_back(s);
        } else {
            return usage();
        }
    }
    if (ns.dir.empty() || ns.servers.empty())
        return usage();

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const std::string log_path = ns.dir + "/server.log";
    ns.log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string fifo = ns.dir + "/control";
    unlink(fifo.c_str());
    // Name the path: "No such file or directory" alone does not say that
    // --dir must exist.
    const char* failed = ns.log_fd < 0 ? log_path.c_str() : mkfifo(fifo.c_str(), 0600) < 0 ? fifo.c_str() : nullptr;
    if (failed) {
        std::fprintf(stderr, "gnssd-sim server: %s: %s\n", failed, std::strerror(errno));
        return 1;
    }
    // Open for writing as well so the FIFO never reports end of file when a
    // writer goes away.
    int ctl_fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    for (Server& s : ns.servers) {
        s.data_fd = open((ns.dir + "/" + s.name + ".data").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (s.data_fd < 0 || !server_listen(ns, s)) {
            std::fprintf(stderr, "gnssd-sim server: cannot start %s\n", s.name.c_str());
            return 1;
        }
    }
    bool stdin_open = true;
    std::string ctl_text, stdin_text;
    std::vector<char> buf(256 * 1024);

    while (!g_quit) {
        // Which descriptor in fds belongs to which server and connection.
        struct Slot {
            Server* s;
            int conn;  // index in conns, -1 for the listener
        };
        std::vector<pollfd> fds;
        std::vector<Slot> slots;
        fds.push_back({ctl_fd, POLLIN, 0});
        slots.push_back({nullptr, -1});
        if (stdin_open) {
            fds.push_back({STDIN_FILENO, POLLIN, 0});
            slots.push_back({nullptr, -2});
        }
        for (Server& s : ns.servers) {
            if (s.listen_fd >= 0 && (s.tcp || !s.stalled)) {
                fds.push_back({s.listen_fd, POLLIN, 0});
                slots.push_back({&s, -1});
            }
            if (s.stalled)
                continue;
            for (std::size_t c = 0; c < s.conns.size(); ++c) {
                fds.push_back({s.conns[c], POLLIN, 0});
                slots.push_back({&s, static_cast<int>(c)});
            }
        }
        // Talking servers send their 100 bytes every 0.2 s to each connection.
        int timeout = 500;
        for (Server& s : ns.servers) {
            if (!s.chatter)
                continue;
            const long long now = now_ms();
            if (now >= s.chatter_due) {
                static const std::string kChatter(99, 'k');
                for (int fd : s.conns) {
                    ssize_t ignored = send(fd, (kChatter + "\n").data(), 100, MSG_NOSIGNAL | MSG_DONTWAIT);
                    (void)ignored;
                }
                s.chatter_due = now + 200;
            }
            timeout = static_cast<int>(std::min<long long>(timeout, s.chatter_due - now));
        }
        int r = poll(fds.data(), fds.size(), timeout);
        if (r <= 0)
            continue;
        std::vector<std::pair<Server*, int>> gone;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            Slot slot = slots[i];
            if (!slot.s) {
                if (slot.conn == -2) {
                    char b[512];
                    ssize_t n = read(STDIN_FILENO, b, sizeof b);
                    if (n <= 0) {
                        stdin_open = false;
                        continue;
                    }
                    stdin_text.append(b, static_cast<std::size_t>(n));
                    for (std::size_t nl; (nl = stdin_text.find('\n')) != std::string::npos;) {
                        std::string line = stdin_text.substr(0, nl);
                        stdin_text.erase(0, nl + 1);
                        if (!line.empty())
                            command(ns, line);
                    }
                } else {
                    take_commands(ns, ctl_text, ctl_fd);
                }
                break;  // a command may have changed the descriptor set
            }
            Server& s = *slot.s;
            if (slot.conn == -1 && s.tcp) {
                sockaddr_in6 peer{};  // an IPv4 peer's port sits at the same place
                socklen_t len = sizeof peer;
                int c = accept4(s.listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c < 0)
                    continue;
                event(ns, s.name, "accept " + std::to_string(ntohs(peer.sin6_port)));
                if (s.churn) {
                    close(c);
                    event(ns, s.name, "dropped");
                } else {
                    s.conns.push_back(c);
                }
            } else if (slot.conn == -1) {
                ssize_t n = recv(s.listen_fd, buf.data(), buf.size(), 0);
                if (n >= 0)
                    record(ns, s, buf.data(), n);
            } else {
                int fd = s.conns[static_cast<std::size_t>(slot.conn)];
                ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                if (n > 0) {
                    record(ns, s, buf.data(), n);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    event(ns, s.name, n == 0 ? std::string("closed") : std::string("error ") + std::strerror(errno));
                    gone.push_back({&s, fd});
                }
            }
        }
        for (auto& [s, fd] : gone) {
            close(fd);
            for (std::size_t c = 0; c < s->conns.size(); ++c)
                if (s->conns[c] == fd) {
                    s->conns.erase(s->conns.begin() + static_cast<long>(c));
                    break;
                }
        }
    }
    for (Server& s : ns.servers) {
        close_conns(s, false);
        if (s.listen_fd >= 0)
            close(s.listen_fd);
    }
    event(ns, "ctl", "quit");
    unlink(fifo.c_str());
    return 0;
}
