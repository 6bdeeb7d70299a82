// Remote NMEA streams over TCP or UDP, paced bursts sent by a worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

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

// What a stream's worker is doing, for the status report.
enum class RsockState : int { disabled, resolving, connecting, connected, waiting };

// A snapshot of one stream for the status report.
struct RsockStatus {
    const char* state;  // "disabled" for no instance
    uint64_t bursts_sent;
    uint64_t bytes_sent;
    uint64_t bursts_dropped;  // completed bursts never delivered
    uint64_t reconnects;      // connections made after the first
    char last_error[128];     // "" for none
    uint32_t period;          // as used, after clamping
    uint32_t period_halt;
};

// Snapshot of an instance (none accepted: state "disabled", counters 0).
RsockStatus rsock_status(RemoteSocket* rs);
