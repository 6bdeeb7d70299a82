// Socket utilities shared by the remote streams and the control shell.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// IPv4 address of a host name or dotted text; 0.0.0.0 when it cannot be
// resolved ("error resolving hostname %s").
struct in_addr sock_resolve(const char* name);
int sock_tcp_connect(struct in_addr addr, unsigned port);
int sock_udp_connect(struct in_addr addr, unsigned port);
void sock_keepalive(int sock, unsigned idle_seconds);
void sock_close(int sock);
int sock_unix_listen(const char* path);

// The lookup of sock_resolve without its message, safe in any thread:
// 0 with the first IPv4 address, 1 when the answer held no address, -1 when
// the lookup failed (addr is 0.0.0.0 in both cases).
int sock_lookup(const char* name, struct in_addr* addr);
// Dotted text only, no name service: 0 with the address, -1 otherwise.
int sock_lookup_numeric(const char* name, struct in_addr* addr);
// sock_tcp_connect on a non-blocking socket with the wait for the connect
// left to the caller: wait(ctx, sock) returns 1 once sock is writable, 0 when
// the caller is to stop (then -1 with errno ECANCELED and no message), -1 on
// a failure of the wait (errno set). The socket returned stays non-blocking.
// Messages carry " (who)" behind them, and their text without the name goes
// to error (size bytes).
int sock_tcp_connect_with(struct in_addr addr, unsigned port, int (*wait)(void* ctx, int sock), void* ctx,
                          const char* who, char* error, std::size_t size);
// sock_udp_connect with a non-blocking socket, messages as above.
int sock_udp_connect_nonblock(struct in_addr addr, unsigned port, const char* who, char* error, std::size_t size);
