// Socket utilities: IPv4 lookup, TCP/UDP client sockets, keepalive, UNIX listener.
#include "outputs/sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// Keepalive probes once the connection has been idle: one every 5 s, and the
// peer is given up after two unanswered probes.
constexpr int kKeepaliveInterval = 5;
constexpr int kKeepaliveCount = 2;

// Backlog of the UNIX listener: requests are short, a handful may queue.
constexpr int kUnixBacklog = 8;

// A failure of a client socket: logged, with the stream's name behind the
// message when there is one, and its text kept for the caller.
struct SockError {
    const char* who;
    char* text;
    std::size_t size;
};

void sock_fail(const SockError& e, const char* what, int err)
{
    if (e.who)
        log_msg(LOG_ERR, "%s: %s (%s)", what, strerror(err), e.who);
    else
        log_msg(LOG_ERR, "%s: %s", what, strerror(err));
    if (e.text && e.size > 0)
        std::snprintf(e.text, e.size, "%s: %s", what, strerror(err));
}

sockaddr_in ipv4_address(struct in_addr addr, unsigned port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFFu));
    sa.sin_addr = addr;
    return sa;
}

// How a connect in progress is awaited (see sock_tcp_connect_with);
// none: the connect blocks.
struct ConnectWait {
    int (*wait)(void* ctx, int sock);
    void* ctx;
};

int tcp_connect(struct in_addr addr, unsigned port, const ConnectWait& until, const SockError& fail)
{
    // Non-blocking only when the caller can be told to stop: the connect to an
    // address that drops packets then waits in the caller's wait.
    const bool waits = until.wait != nullptr;
    int type = SOCK_STREAM | SOCK_CLOEXEC | (waits ? SOCK_NONBLOCK : 0);
    int sock = socket(AF_INET, type, IPPROTO_TCP);
    if (sock < 0) {
        sock_fail(fail, "create socket error", errno);
        return -1;
    }
    sockaddr_in sa = ipv4_address(addr, port);
    int r;
    do {
        r = connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (r < 0 && errno == EINTR && !waits);
    if (r < 0 && (errno == EINPROGRESS || errno == EINTR) && waits) {
        int w = until.wait(until.ctx, sock);
        if (w == 0) {
            // Asked to stop: not a network failure, nothing to report.
            close(sock);
            errno = ECANCELED;
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (w < 0)
            err = errno;
        else if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        r = err ? -1 : 0;
        errno = err;
    }
    if (r < 0) {
        int saved = errno;
        sock_fail(fail, "connect socket error", saved);
        sock_close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}

int udp_connect(struct in_addr addr, unsigned port, int nonblock, const SockError& fail)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonblock ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
    if (sock < 0) {
        sock_fail(fail, "create socket error", errno);
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        sock_fail(fail, "bind socket error", errno);
        sock_close(sock);
        return -1;
    }
    // The server may be a broadcast address; where broadcast is refused the
    // connect below reports it.
    int one = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in sa = ipv4_address(addr, port);
    if (connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        sock_fail(fail, "connect socket error", errno);
        sock_close(sock);
        return -1;
    }
    return sock;
}

}  // namespace

int sock_lookup(const char* name, struct in_addr* addr)
{
    addr->s_addr = htonl(INADDR_ANY);
    // Pick up a resolver configuration changed since the last attempt (the
    // WAN link of a router comes and goes with its name servers). The state is
    // per thread, so concurrent workers do not disturb each other.
    res_init();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return -1;
    int found = 1;
    for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            *addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            found = 0;
            break;
        }
    }
    freeaddrinfo(res);
    return found;
}

int sock_lookup_numeric(const char* name, struct in_addr* addr)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return -1;
    int found = -1;
    if (res && res->ai_addr && res->ai_addrlen >= sizeof(sockaddr_in)) {
        *addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
        found = 0;
    }
    freeaddrinfo(res);
    return found;
}

struct in_addr sock_resolve(const char* name)
{
    struct in_addr addr {};
    if (sock_lookup(name, &addr) < 0)
        log_msg(LOG_WARNING, "error resolving hostname %s", name);
    return addr;
}

int sock_tcp_connect(struct in_addr addr, unsigned port)
{
    return tcp_connect(addr, port, ConnectWait{nullptr, nullptr}, SockError{nullptr, nullptr, 0});
}

int sock_tcp_connect_with(struct in_addr addr, unsigned port, int (*wait)(void* ctx, int sock), void* ctx,
                          const char* who, char* error, std::size_t size)
{
    return tcp_connect(addr, port, ConnectWait{wait, ctx}, SockError{who, error, size});
}

int sock_udp_connect(struct in_addr addr, unsigned port)
{
    return udp_connect(addr, port, 0, SockError{nullptr, nullptr, 0});
}

int sock_udp_connect_nonblock(struct in_addr addr, unsigned port, const char* who, char* error, std::size_t size)
{
    return udp_connect(addr, port, 1, SockError{who, error, size});
}

void sock_keepalive(int sock, unsigned idle_seconds)
{
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
        log_msg(LOG_ERR, "setsockopt(SO_KEEPALIVE) error: %s", strerror(errno));
    int idle = static_cast<int>(idle_seconds);
    if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0)
        log_msg(LOG_ERR, "setsockopt(TCP_KEEPIDLE) error: %s", strerror(errno));
    int interval = kKeepaliveInterval;
    if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0)
        log_msg(LOG_ERR, "setsockopt(TCP_KEEPINVTL) error: %s", strerror(errno));
    int count = kKeepaliveCount;
    if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) < 0)
        log_msg(LOG_ERR, "setsockopt(TCP_KEEPCNT) error: %s", strerror(errno));
}

void sock_close(int sock)
{
    if (sock < 0)
        return;
    if (close(sock) < 0)
        log_msg(LOG_ERR, "close socket error: %s", strerror(errno));
}

int sock_unix_listen(const char* path)
{
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log_msg(LOG_ERR, "create socket error: %s", strerror(errno));
        return -1;
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    char resolved[kPlatPathMax];
    plat_path(path, resolved, sizeof resolved);
    // A path cut to fit the address would bind a socket nobody looks for.
    int n = std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", resolved);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof sa.sun_path) {
        log_msg(LOG_ERR, "bind socket error: %s", strerror(ENAMETOOLONG));
        sock_close(sock);
        return -1;
    }
    // Whatever stands at the path (a socket of an earlier run, a stray file,
    // a link, which unlink removes without following) would make the bind
    // fail and leave the router without its control socket for the whole
    // run. Only a directory is left alone: the bind then fails on it.
    if (plat_unlink(path) != 0 && errno != ENOENT)
        log_msg(LOG_ERR, "cannot replace %s: %s", path, strerror(errno));
    if (bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        log_msg(LOG_ERR, "bind socket error: %s", strerror(errno));
        sock_close(sock);
        return -1;
    }
    if (listen(sock, kUnixBacklog) < 0) {
        log_msg(LOG_ERR, "listen on socket error: %s", strerror(errno));
        sock_close(sock);
        return -1;
    }
    return sock;
}
