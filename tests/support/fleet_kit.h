// SPDX-License-Identifier: BSD-2-Clause
// Test support for the fleet feed end to end: a mosquitto broker and a
// subscribed backend, an HTTPS server, the daemon with its simulated router.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/harness.h"

namespace th {

// False in a build without the fleet process (GNSSD_FLEET=OFF) or where
// mosquitto is not installed: nothing to test then.
bool have_broker();

// A shell command with its output kept out of the test's; true when it succeeded.
bool sh(const std::string& command);

// What a shell command printed.
std::string output_of(const std::string& command);

// A broker of its own: plain or TLS listener, anonymous or with a password
// file, its state kept in dir so that a restart keeps the subscriber's session.
struct Broker {
    TempDir dir;
    Process proc;
    int port = free_port(SOCK_STREAM);
    std::string config;
    int starts = 0;

    // extra: the broker's settings beyond the listener ("" for anonymous).
    void start(const std::string& extra = "");
    void stop();
};

// One message as mosquitto_sub printed it.
struct Message {
    std::string topic;
    bool retained;
    std::string payload;
};

// mosquitto_sub on gnss/# at QoS 1 with a session the broker keeps, each
// message printed as "TOPIC RETAIN LENGTH PAYLOAD".
struct Subscriber {
    TempDir dir;
    Process proc;

    void start(int port, const std::vector<std::string>& extra = {});
    std::vector<Message> messages() const;
    // The messages on topics that end with leaf.
    std::vector<Message> on(const std::string& leaf) const;
};

// The simulated router with a capture on its receiver and the daemon on top.
struct DaemonRun {
    std::map<std::string, std::string> files;  // router path: text, written before the start
    std::vector<std::string> sim_args;         // beside the capture and the settings
    std::vector<std::string> wrap;             // a command the daemon runs under, as `sh -c` words
    TempDir root;
    Process sim;
    Process daemon;
    int starts = 0;

    void start(const std::string& capture, const std::vector<std::string>& settings);
    void launch(const std::string& capture, const std::vector<std::string>& settings);
    // The daemon alone again on the same root (after it was stopped or killed);
    // its log goes to daemon2.log and so on.
    void restart();
    void wait_running();
    // The "status" answer of the control socket, and "status text".
    std::string status() const;
    std::string status_text() const;
    ~DaemonRun();
};

// The MQTT keys of a daemon publishing to 127.0.0.1:port as truck7; a key
// of more given again replaces the default one.
std::vector<std::string> mqtt_keys(int port, int period, int halt, const std::vector<std::string>& more = {});

// The value behind "key" in a flat JSON object, "" when absent.
std::string field(const std::string& json, const std::string& key);

// Numbered cycles of GGA and RMC: the time of day is the cycle number, so
// order, gaps and pace show in the positions; moving(i) decides the speed.
std::string drive_capture(int cycles, bool (*moving)(int));

// The cycle number of a position, from its time.
int cycle_of(const std::string& json);

// The "mqtt" object of the daemon's status.
std::string mqtt_status(const DaemonRun& run);

// The fleet process the daemon started: a child running gnssd-fleet (under
// an emulator, as its program); -1 when none.
pid_t fleet_child(pid_t daemon);

// An HTTPS server in python3 with a CA (ca.pem) and a server certificate for
// localhost made at its start, and a second CA (other.pem) that signed
// nothing. It logs each request's path and Authorization header to
// dir/requests; a request whose query has id=busy gets 503.
struct HttpsServer {
    TempDir dir;
    Process proc;
    int port = 0;

    // False without openssl or python3, or when the server did not come up.
    // The port stays that of the first start.
    bool start();
    std::string requests() const;
};

}  // namespace th
