// Sockets (stub).
#include "outputs/sock.h"
struct in_addr sock_resolve(const char*) { return in_addr{}; }
int sock_tcp_connect(struct in_addr, unsigned) { return -1; }
int sock_udp_connect(struct in_addr, unsigned) { return -1; }
void sock_keepalive(int, unsigned) {}
void sock_close(int) {}
int sock_unix_listen(const char*) { return -1; }
