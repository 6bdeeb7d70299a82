// Remote streams (stub until they land).
#include "outputs/rsock.h"
RemoteSocket* rsock_open(const RemoteSocketSettings*) { return nullptr; }
void rsock_write(RemoteSocket*, const char*, std::size_t, int) {}
void rsock_close(RemoteSocket*) {}
