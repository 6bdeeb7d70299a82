// Socket utilities shared by the remote streams and the control shell.
#pragma once

#include <netinet/in.h>

// IPv4 address of a host name or dotted text; 0.0.0.0 when it cannot be
// resolved ("error resolving hostname %s").
struct in_addr sock_resolve(const char* name);
int sock_tcp_connect(struct in_addr addr, unsigned port);
int sock_udp_connect(struct in_addr addr, unsigned port);
void sock_keepalive(int sock, unsigned idle_seconds);
void sock_close(int sock);
int sock_unix_listen(const char* path);
