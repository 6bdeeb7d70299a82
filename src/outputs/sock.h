// SPDX-License-Identifier: BSD-2-Clause
// Socket utilities shared by the remote streams and the control shell.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

// One server address of either family, port included.
union SockAddr {
    sockaddr sa;
    sockaddr_in in4;
    sockaddr_in6 in6;
};

// A name may stand for several addresses (IPv6 and IPv4 ones on a dual-stack
// server); more than a handful only lengthens a failing attempt.
inline constexpr int kSockAddrMax = 8;

// The addresses of one server, in the order they are to be tried.
struct SockAddrList {
    int count;
    SockAddr addr[kSockAddrMax];
};

// "[2001:db8::5]:port" or "192.0.2.1:port": the longest fits in this many bytes.
inline constexpr std::size_t kSockAddrText = INET6_ADDRSTRLEN + 8 + 16;

// IPv4 address of a host name or dotted text; 0.0.0.0 when it cannot be
// resolved ("error resolving hostname %s").
struct in_addr sock_resolve(const char* name);
int sock_tcp_connect(struct in_addr addr, unsigned port);
int sock_udp_connect(struct in_addr addr, unsigned port);
void sock_keepalive(int sock, unsigned idle_seconds);
void sock_close(int sock);
// Sends all of text to a client that may have gone away meanwhile, which
// must not raise SIGPIPE in the daemon; stops quietly at the first failure.
// A descriptor that is no socket (a pipe handed to a command handler) takes
// a plain write.
void sock_send_text(int fd, const char* text, std::size_t len);
int sock_unix_listen(const char* path);

// Every address of name (both families) for sockets of type (SOCK_STREAM or
// SOCK_DGRAM), with port set, in the resolver's order of preference; the
// unspecified addresses are left out, as a connect to them reaches this very
// router. The resolver configuration is read anew first. Safe in any thread,
// logs nothing: 0 with at least one address, 1 when the answer held none
// usable, -1 when the lookup failed (out->count 0 in both cases).
int sock_lookup(const char* name, unsigned port, int type, SockAddrList* out);
// An address literal only, no name service: dotted IPv4 or IPv6 text, the
// latter also in brackets ("[::1]"). 0 with the address (none when it is an
// unspecified one), -1 when name is not a literal.
int sock_lookup_numeric(const char* name, unsigned port, int type, SockAddrList* out);
// True when name is an IPv6 literal (with or without brackets).
bool sock_is_ipv6_literal(const char* name);
// The address as "192.0.2.1:port" or "[2001:db8::5]:port"; buf is returned.
const char* sock_addr_text(const SockAddr* addr, char* buf, std::size_t size);

// Connects a TCP socket to the addresses of list in order until one accepts;
// *used is then its index. The socket is non-blocking and the wait for each
// connect is left to the caller: wait(ctx, sock, timeout_ms) returns 1 once
// sock is writable, 0 when the caller is to stop (then -1 with errno
// ECANCELED and no message), -1 on a failure or the end of the time allowed
// (errno set). timeout_ms is -1 (as long as the system lets a connect take)
// for the last address. The socket returned stays non-blocking. Messages
// carry " (who)" behind them, and the text of the last one without the name
// goes to error (size bytes).
int sock_tcp_connect_with(const SockAddrList* list, int (*wait)(void* ctx, int sock, int timeout_ms), void* ctx,
                          const char* who, char* error, std::size_t size, int* used);
// A non-blocking UDP socket connected to the first address of list that the
// system can route to; *used and messages as above.
int sock_udp_connect_nonblock(const SockAddrList* list, const char* who, char* error, std::size_t size, int* used);
