// SPDX-License-Identifier: BSD-2-Clause
// Test support shared by the end-to-end, receiver and output tests: pty
// readers, the simulator, shell clients, stale lock holders and stream helpers.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace th {

// Reads a pseudo-terminal on a thread of its own for as long as it lives.
struct PtyReader {
    int fd = -1;
    std::atomic<bool> stop{false};
    std::string got;
    std::mutex mutex;
    std::thread thread;

    explicit PtyReader(const std::string& path);
    ~PtyReader();
    PtyReader(const PtyReader&) = delete;
    PtyReader& operator=(const PtyReader&) = delete;
    std::string text();
    std::size_t size();
};

// gnssd-sim server: loopback servers that record what they receive, run
// for one test and stopped at destruction.
struct SimServers {
    std::string dir;
    Process proc;

    // Starts the servers in d and waits until each one's port is known.
    void start(const std::string& d, const std::vector<std::string>& specs, int rcvbuf = 0);
    int port(const std::string& name) const;
    std::string data(const std::string& name) const;
    std::size_t received(const std::string& name) const { return data(name).size(); }
    // Applies one command and waits until the servers confirm it.
    void command(const std::string& text);
    ~SimServers();
};

// Starts the router simulator for a module family on root with its outputs
// and the GPS service enabled, extra arguments behind, and waits until it is
// ready; its log is root + "/sim.log".
void start_router_sim(Process& sim, const std::string& root, const std::string& family,
                      const std::vector<std::string>& extra);

// The commands the simulated module received (root + "/sim/commands.log"),
// as "PORT TEXT" without the time stamp and the final "\r"; a line still
// being written is left for the next read.
std::vector<std::string> sim_commands(const std::string& root);

// A client of a local stream socket: the connected descriptor, or -1.
int connect_unix(const std::string& path);
// Reads until the peer closes; "<timeout>" appended when it does not within 5 s.
std::string read_reply(int fd);
// Sends text (nothing when empty), reads the reply to the end and closes fd;
// "<short write>" when the text did not go out whole.
std::string exchange(int fd, const std::string& text);
// The reply of the control socket of root to request: "<no connection>"
// when nothing listens; an empty request closes its side without a word.
std::string ask(const std::string& root, const std::string& request);
// Writes text and a line end to a FIFO that a reader holds open.
void send_line(const std::string& fifo, const std::string& text);
// A socket of type bound to an ephemeral port of the loopback address (any
// address when any), listening with backlog unless that is negative; *port
// tells which.
int bound_socket(int type, int backlog, int* port, bool any = false);

// What a run of the executable as a tool left: its wait status and output.
struct ToolRun {
    int status;
    std::string log;
    // The exit status, -1 when it did not exit.
    int exit() const;
};
// Runs "gnssd ARGS" under root (env: more of the environment) and waits up
// to 30 s for its end; its output goes to root/stderr-N.
ToolRun run_tool(const std::string& root, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {});

// The text of a lock file naming pid ("%10d\n").
std::string pid_text(int pid);
// The id of a process that has exited and been reaped.
int dead_pid();

// One scenario of a group run side by side: label names it in each failure
// it reports.
struct Scenario {
    std::string label;
    std::function<void()> run;
};
// Runs each scenario on a thread of its own and returns once all have ended.
// The scenarios spend their time waiting on the daemon's own timers, so a
// group lasts about as long as its longest scenario. Each scenario keeps to
// its own rig; an ASSERT ends only its own scenario, whose rig then stops its
// processes, and an exception counts as a failure of that scenario.
void run_side_by_side(const std::vector<Scenario>& scenarios);

// hay holds needle; a failure shows both.
::testing::AssertionResult has(const std::string& hay, const std::string& needle);

double seconds_since(std::chrono::steady_clock::time_point t0);

// "$" + body + "*HH\r\n": a sentence with its correct checksum.
std::string with_checksum(const std::string& body);

// The lines of text, each with its line end.
std::vector<std::string> lines_of(const std::string& text);
// "" when the streams are equal, else their first line that differs, each
// side cut to width characters (the streams are too long to print whole).
std::string first_difference(const std::string& got, const std::string& want, std::size_t width);

}  // namespace th
