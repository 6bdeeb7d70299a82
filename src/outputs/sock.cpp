// SPDX-License-Identifier: BSD-2-Clause
// Socket utilities: name lookup for both IP families, client sockets, keepalive, UNIX listener, client replies.
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
#include "platform/log.h"
#include "platform/worker.h"

namespace {

// Keepalive probes once the connection has been idle: one every 5 s, and the
// peer is given up after two unanswered probes.
constexpr int kKeepaliveInterval = 5;
constexpr int kKeepaliveCount = 2;

// How long a connect to one of a server's addresses may take before the next
// address is tried: many round trips of a slow cellular link.
constexpr int kConnectTryMs = 5000;

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

SockAddr ipv4_address(struct in_addr addr, unsigned port)
{
    SockAddr a{};
    a.in4.sin_family = AF_INET;
    a.in4.sin_port = htons(static_cast<uint16_t>(port & 0xFFFFu));
    a.in4.sin_addr = addr;
    return a;
}

socklen_t addr_length(const SockAddr& a)
{
    return a.sa.sa_family == AF_INET6 ? sizeof a.in6 : sizeof a.in4;
}

// A connect to the unspecified address goes to this host: never a server.
bool unspecified(const SockAddr& a)
{
    if (a.sa.sa_family == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&a.in6.sin6_addr);
    return a.in4.sin_addr.s_addr == htonl(INADDR_ANY);
}

// Fills out from a getaddrinfo answer, in its order. 0 with at least one
// usable address, 1 without.
int take_addresses(const addrinfo* res, unsigned port, SockAddrList* out)
{
    out->count = 0;
    for (const addrinfo* ai = res; ai && out->count < kSockAddrMax; ai = ai->ai_next) {
        SockAddr a{};
        if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof a.in4)
            std::memcpy(&a.in4, ai->ai_addr, sizeof a.in4);
        else if (ai->ai_family == AF_INET6 && ai->ai_addr && ai->ai_addrlen >= sizeof a.in6)
            std::memcpy(&a.in6, ai->ai_addr, sizeof a.in6);
        else
            continue;
        if (unspecified(a))
            continue;
        const uint16_t net_port = htons(static_cast<uint16_t>(port & 0xFFFFu));
        if (a.sa.sa_family == AF_INET6)
            a.in6.sin6_port = net_port;
        else
            a.in4.sin_port = net_port;
        out->addr[out->count++] = a;
    }
    return out->count > 0 ? 0 : 1;
}

// How a connect in progress is awaited (see sock_tcp_connect_with);
// none: the connect blocks.
struct ConnectWait {
    int (*wait)(void* ctx, int sock, int timeout_ms);
    void* ctx;
    int timeout_ms;
};

int tcp_connect(const SockAddr& addr, const ConnectWait& until, const SockError& fail)
{
    // Non-blocking only when the caller can be told to stop: the connect to an
    // address that drops packets then waits in the caller's wait.
    const bool waits = until.wait != nullptr;
    int type = SOCK_STREAM | SOCK_CLOEXEC | (waits ? SOCK_NONBLOCK : 0);
    Fd sock(socket(addr.sa.sa_family, type, IPPROTO_TCP));
    if (!sock) {
        sock_fail(fail, "create socket error", errno);
        return -1;
    }
    int r;
    do {
        r = connect(sock.get(), &addr.sa, addr_length(addr));
    } while (r < 0 && errno == EINTR && !waits);
    if (r < 0 && (errno == EINPROGRESS || errno == EINTR) && waits) {
        int w = until.wait(until.ctx, sock.get(), until.timeout_ms);
        if (w == 0) {
            // Asked to stop: not a network failure, nothing to report.
            sock.reset();
            errno = ECANCELED;
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (w < 0)
            err = errno;
        else if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        r = err ? -1 : 0;
        errno = err;
    }
    if (r < 0) {
        int saved = errno;
        sock_fail(fail, "connect socket error", saved);
        sock_close(sock.release());
        errno = saved;
        return -1;
    }
    return sock.release();
}

int udp_connect(const SockAddr& addr, int nonblock, const SockError& fail)
{
    const int family = addr.sa.sa_family;
    Fd sock(socket(family, SOCK_DGRAM | SOCK_CLOEXEC | (nonblock ? SOCK_NONBLOCK : 0), IPPROTO_UDP));
    if (!sock) {
        sock_fail(fail, "create socket error", errno);
        return -1;
    }
    SockAddr local{};
    local.sa.sa_family = static_cast<sa_family_t>(family);
    if (family == AF_INET6)
        local.in6.sin6_addr = in6addr_any;
    else
        local.in4.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock.get(), &local.sa, addr_length(local)) < 0) {
        sock_fail(fail, "bind socket error", errno);
        sock_close(sock.release());
        return -1;
    }
    // The server may be a broadcast address; where broadcast is refused the
    // connect below reports it. IPv6 has no broadcast.
    int one = 1;
    if (family == AF_INET)
        (void)setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (connect(sock.get(), &addr.sa, addr_length(addr)) < 0) {
        sock_fail(fail, "connect socket error", errno);
        sock_close(sock.release());
        return -1;
    }
    return sock.release();
}

}  // namespace

int sock_lookup(const char* name, unsigned port, int type, SockAddrList* out)
{
    out->count = 0;
    // Pick up a resolver configuration changed since the last attempt (the
    // WAN link of a router comes and goes with its name servers). The state is
    // per thread, so concurrent workers do not disturb each other.
    res_init();
    addrinfo hints{};
    // Both families: a cellular WAN may be IPv6 only, with the IPv4 world
    // reached through a translator that answers with IPv6 addresses.
    hints.ai_family = AF_UNSPEC;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = type;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return -1;
    int found = take_addresses(res, port, out);
    freeaddrinfo(res);
    return found;
}

int sock_lookup_numeric(const char* name, unsigned port, int type, SockAddrList* out)
{
    out->count = 0;
    // "[2001:db8::5]" is how an IPv6 address is written beside a port; the
    // brackets are not part of the address.
    char bare[INET6_ADDRSTRLEN + 24];
    const std::size_t len = std::strlen(name);
    if (len >= 2 && name[0] == '[' && name[len - 1] == ']') {
        if (len - 2 >= sizeof bare)
            return -1;
        std::memcpy(bare, name + 1, len - 2);
        bare[len - 2] = '\0';
        name = bare;
        if (!std::strchr(name, ':'))
            return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return -1;
    take_addresses(res, port, out);
    freeaddrinfo(res);
    return 0;
}

bool sock_is_ipv6_literal(const char* name)
{
    SockAddrList list;
    return std::strchr(name, ':') && sock_lookup_numeric(name, 0, SOCK_STREAM, &list) == 0;
}

const char* sock_addr_text(const SockAddr* addr, char* buf, std::size_t size)
{
    if (size == 0)
        return buf;
    char host[INET6_ADDRSTRLEN + 24];
    const bool v6 = addr->sa.sa_family == AF_INET6;
    // The scope of a link-local address ("%eth0") is part of what is used.
    if (getnameinfo(&addr->sa, addr_length(*addr), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        std::snprintf(host, sizeof host, "?");
    const unsigned port = ntohs(v6 ? addr->in6.sin6_port : addr->in4.sin_port);
    std::snprintf(buf, size, v6 ? "[%s]:%u" : "%s:%u", host, port);
    return buf;
}

struct in_addr sock_resolve(const char* name)
{
    struct in_addr addr {};
    SockAddrList list;
    const int r = sock_lookup(name, 0, SOCK_STREAM, &list);
    if (r < 0)
        log_msg(LOG_WARNING, "error resolving hostname %s", name);
    for (int i = 0; i < list.count; ++i) {
        if (list.addr[i].sa.sa_family == AF_INET) {
            addr = list.addr[i].in4.sin_addr;
            break;
        }
    }
    return addr;
}

int sock_tcp_connect(struct in_addr addr, unsigned port)
{
    return tcp_connect(ipv4_address(addr, port), ConnectWait{nullptr, nullptr, -1}, SockError{nullptr, nullptr, 0});
}

int sock_tcp_connect_with(const SockAddrList* list, int (*wait)(void* ctx, int sock, int timeout_ms), void* ctx,
                          const char* who, char* error, std::size_t size, int* used)
{
    int sock = -1;
    for (int i = 0; i < list->count; ++i) {
        // An address that drops packets must not keep the next ones from
        // being tried; the last one gets all the time the system allows.
        const int timeout = i + 1 < list->count ? kConnectTryMs : -1;
        sock = tcp_connect(list->addr[i], ConnectWait{wait, ctx, timeout}, SockError{who, error, size});
        if (sock >= 0) {
            *used = i;
            return sock;
        }
        if (errno == ECANCELED)
            break;
    }
    if (list->count == 0)
        errno = EDESTADDRREQ;
    return sock;
}

int sock_udp_connect(struct in_addr addr, unsigned port)
{
    return udp_connect(ipv4_address(addr, port), 0, SockError{nullptr, nullptr, 0});
}

int sock_udp_connect_nonblock(const SockAddrList* list, const char* who, char* error, std::size_t size, int* used)
{
    for (int i = 0; i < list->count; ++i) {
        int sock = udp_connect(list->addr[i], 1, SockError{who, error, size});
        if (sock >= 0) {
            *used = i;
            return sock;
        }
    }
    if (list->count == 0)
        errno = EDESTADDRREQ;
    return -1;
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
    Fd owned(sock);
    if (owned.close_now() < 0)
        log_msg(LOG_ERR, "close socket error: %s", strerror(errno));
}

void sock_send_text(int fd, const char* text, std::size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, text, len, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
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
