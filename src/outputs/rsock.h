// Remote NMEA streams over TCP or UDP, paced bursts sent by a worker thread.
#pragma once

#include <cstddef>

struct RemoteSocketSettings;
struct RemoteSocket;
struct timeval;

// Largest burst: one receiver output cycle fits many times over.
inline constexpr std::size_t kSocketFrameSize = 65536;

[[nodiscard]] RemoteSocket* rsock_open(const RemoteSocketSettings* settings);
void rsock_write(RemoteSocket* rs, const char* data, std::size_t length, int moving);
void rsock_close(RemoteSocket* rs);

// rsock_write with the wall-clock time of the write given by the caller
// (rsock_write passes the current time; tests pass their own).
void rsock_write_at(RemoteSocket* rs, const char* data, std::size_t length, int moving, const struct timeval* now);

// Copies the burst being filled (which 0) or the completed burst waiting to
// be sent (which 1) into buf (up to size bytes) and its moving flag into
// *moving; returns its length, -1 on failure. For inspection only.
int rsock_peek(RemoteSocket* rs, int which, char* buf, std::size_t size, int* moving);
