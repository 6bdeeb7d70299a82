// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed over HTTP(S) in the OsmAnd protocol: one GET a position,
// sent by a thread of its own so that its caller never waits on the network.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/settings.h"

// Settings with every default filled in, as the output uses them.
struct HttpConfig {
    char url[512];  // as set, without a query
    char host[256];
    uint32_t port;
    bool tls;
    char id[128];  // the device id sent with each position
    char cafile[256];
    char certfile[256];
    char keyfile[256];
    char username[128];
    char password[128];
    uint32_t period;
    uint32_t period_halt;
    uint32_t timeout_ms;
    uint32_t retry_min_ms;  // back-off after the first failure, doubled to retry_max_ms
    uint32_t retry_max_ms;
};

inline constexpr uint32_t kHttpRetryMinMs = 1000;
inline constexpr uint32_t kHttpRetryMaxMs = 60000;

// Fills config from settings; router_id and host_name stand in for an
// empty device id in that order. False (and why in *fault) when the output
// cannot run: not enabled, or no usable URL.
bool http_config(const HttpSettings* settings, const char* router_id, const char* host_name, HttpConfig* config,
                 const char** fault);

struct HttpOutput;

// Starts the output's thread; nullptr when it cannot (said in the log).
[[nodiscard]] HttpOutput* http_open(const HttpConfig* config);

// Hands one position (its store sequence number and OsmAnd query) to the
// thread. False while a request is on its way, its result not yet taken, or
// the back-off after a failure lasts: the caller keeps the position and
// offers its oldest unsent one again later, so an outage loses nothing and
// keeps the order.
bool http_offer(HttpOutput* out, uint64_t seq, const char* query);

// The result of the last position offered, once: true with its seq and
// whether the server took it (a 2xx answer).
bool http_result(HttpOutput* out, uint64_t* seq, bool* done);

// Ends the thread; a request on its way is abandoned.
void http_close(HttpOutput* out);

// A snapshot for the status report.
struct HttpStatus {
    const char* state;  // disabled, ready, sending, waiting (after a failure)
    uint64_t sent;
    uint64_t failed;
    char last_error[256];  // "" for none
};
HttpStatus http_status(HttpOutput* out);

// The status report's "http" object, {"enabled":true,"host":...,"port":...,
// "tls":...,"state":...,"sent":...,"failed":...,"last_error":...}, and the
// status tool's line, "http: https HOST:PORT STATE, N sent, N failed[, last
// error: ...]\n" ("http: off\n" without an output). config may be null when
// the output is off. Each returns the length, 0 when the buffer is too small.
std::size_t http_status_json(HttpOutput* out, const HttpConfig* config, char* buf, std::size_t size);
std::size_t http_status_line(HttpOutput* out, const HttpConfig* config, char* buf, std::size_t size);
