// Remote NMEA streams over TCP or UDP, paced bursts sent by a worker thread.
#pragma once

#include <cstddef>

struct RemoteSocketSettings;
struct RemoteSocket;

[[nodiscard]] RemoteSocket* rsock_open(const RemoteSocketSettings* settings);
void rsock_write(RemoteSocket* rs, const char* data, std::size_t length, int moving);
void rsock_close(RemoteSocket* rs);
