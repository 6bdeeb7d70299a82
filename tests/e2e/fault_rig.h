// SPDX-License-Identifier: BSD-2-Clause
// Fault table rig: the simulated router with the daemon on it, and looks at a process from outside.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "outputs/rsock.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/inproc.h"

namespace fault_rig {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

// Allowance on top of the design's own waits for starting, tearing down and
// observing the processes (also under an emulator or a sanitizer).
constexpr double kExitMarginSeconds = 3.0;

using Reader = th::PtyReader;
using th::dead_pid;
using th::lines_of;
using th::pid_text;
using th::seconds_since;

// --- looking at a process from outside ---------------------------------------

// A field of /proc/PID/status ("VmRSS", "SigCgt"); empty when unknown.
inline std::string status_field(pid_t pid, const std::string& name)
{
    std::istringstream in(th::read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            std::size_t p = name.size() + 1;
            while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
                ++p;
            return line.substr(p);
        }
    }
    return "";
}

inline long rss_kb(pid_t pid)
{
    return std::atol(status_field(pid, "VmRSS").c_str());
}

// The daemon's SIGTERM handler is in place: from then on a SIGTERM is a
// request to stop, not the default death.
inline bool term_handler_installed(pid_t pid)
{
    const std::string mask = status_field(pid, "SigCgt");
    if (mask.empty())
        return false;
    return (std::strtoull(mask.c_str(), nullptr, 16) >> (SIGTERM - 1)) & 1;
}

// The main thread sits in a sleep (where the kernel tells: "0" or nothing
// when it hides the wait channel, and then this cannot be told).
inline bool main_thread_sleeping(pid_t pid)
{
    const std::string wchan = th::read_file("/proc/" + std::to_string(pid) + "/wchan");
    if (wchan.empty() || wchan == "0")
        return true;
    return wchan.find("nanosleep") != std::string::npos;
}

// Bytes the machine's TCP connections to a local port have queued but the
// peer has not taken (the sender's side of a stalled connection).
inline long unsent_bytes_to(int port)
{
    std::istringstream in(th::read_file("/proc/net/tcp"));
    std::string line;
    std::getline(in, line);
    long total = 0;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string sl, local, remote, state, queues;
        ls >> sl >> local >> remote >> state >> queues;
        const std::size_t colon = remote.find(':');
        if (colon == std::string::npos || state != "01")
            continue;
        if (std::strtol(remote.c_str() + colon + 1, nullptr, 16) == port)
            total += std::strtol(queues.substr(0, queues.find(':')).c_str(), nullptr, 16);
    }
    return total;
}

// --- streams -----------------------------------------------------------------

// What the service passes on of a clean CR LF capture from the $GPS_START
// module: every line with a '*' and no NUL byte, except a $GPGGA that
// follows another position sentence with no "$GPGSV," between them.
inline std::string expected_stream(const std::string& capture)
{
    std::string out;
    bool position_seen = false;
    for (const std::string& line : lines_of(capture)) {
        if (line.find('*') == std::string::npos || line.find('\0') != std::string::npos)
            continue;
        const std::string tag = line.substr(0, 7);
        if (tag == "$GPGSV,")
            position_seen = false;
        if (tag == "$GPGGA,") {
            if (position_seen)
                continue;
            position_seen = true;
        }
        if (tag == "$GPGNS," || tag == "$GLGNS," || tag == "$BDGNS,")
            position_seen = true;
        out += line;
    }
    return out;
}

inline std::string first_difference(const std::string& got, const std::string& want)
{
    return th::first_difference(got, want, 100);
}

inline std::string repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// --- the simulated router -------------------------------------------------------

using NetServers = th::SimServers;

inline Args rsock_keys(int n, const std::string& host, int protocol, int port)
{
    const std::string k = "MOD_GPS_RSOCK" + std::to_string(n) + "_";
    return {k + "ENABLED=1",
            k + "IPADDR=" + host,
            k + "PROTOCOL=" + std::to_string(protocol),
            k + "PORT=" + std::to_string(port),
            k + "PERIOD=1",
            k + "PERIOD_HALT=1"};
}

// "--set KEY=VALUE" for each setting.
inline Args settings_args(const Args& keys)
{
    Args out;
    for (const std::string& k : keys) {
        out.push_back("--set");
        out.push_back(k);
    }
    return out;
}

// A simulation root with the simulator playing the $GPS_START module and the
// daemon running on it.
struct Rig {
    th::TempDir dir;
    th::Process sim;
    th::Process daemon;
    Clock::time_point daemon_started;

    ~Rig()
    {
        if (daemon.pid > 0)
            daemon.stop(SIGKILL, 5s);
        sim.stop(SIGTERM, 5s);
    }

    std::string path(const std::string& rel) const { return dir.path + rel; }

    void start_sim(const Args& args)
    {
        Args argv = {th::sim_bin(), "--root", dir.path, "--family", "gpsstart"};
        argv.insert(argv.end(), args.begin(), args.end());
        sim.start(argv, {}, dir.path + "/sim.stderr");
        ASSERT_TRUE(th::wait_until([&] { return th::file_exists(path("/sim/ready")); }, 10s)) << sim.log();
    }
    // The router's tools (the trap sender) first on PATH; wrapper: a command
    // that runs the daemon (its own arguments end with "--").
    void start_daemon(const Args& wrapper = {})
    {
        const char* sys = std::getenv("PATH");
        Args argv = wrapper;
        for (const std::string& w : th::program_argv(th::daemon_bin()))
            argv.push_back(w);
        daemon_started = Clock::now();
        daemon.start(argv, {{"GNSSD_ROOT", dir.path}, {"PATH", dir.path + "/bin:" + (sys ? sys : "/usr/bin:/bin")}},
                     dir.path + "/gnssd.stderr");
    }
    void ctl(const std::string& word) const
    {
        int fd = open(path("/sim/ctl").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::string line = word + "\n";
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fd);
    }
    std::string log() const { return daemon.log(); }
    int log_count(const std::string& text) const { return th::count_of(log(), text); }
    bool wait_count(const std::string& text, int at_least, std::chrono::milliseconds timeout) const
    {
        return th::wait_until([&] { return log_count(text) >= at_least; }, timeout);
    }
    std::string out(const std::string& tty) const { return th::read_file(path("/sim/out-" + tty)); }
    int rmc(const std::string& tty) const { return th::count_of(out(tty), "$GPRMC,"); }
    // Start or stop texts the module received (one read may bring both).
    int module_texts(const std::string& text) const
    {
        return th::count_of(th::read_file(path("/sim/commands.log")), text);
    }
    // SIGTERM, then the seconds until the daemon exited (-1: not within the limit).
    double terminate(double limit_seconds)
    {
        const auto t0 = Clock::now();
        if (kill(daemon.pid, SIGTERM) != 0)
            return -1;
        const auto limit = std::chrono::milliseconds(static_cast<long>(limit_seconds * 1000));
        if (!daemon.wait_exit(limit))
            return -1;
        return seconds_since(t0);
    }
    // SIGTERM: the daemon exits cleanly within the allowance (log_chars: how
    // much of its log a failure shows).
    void expect_prompt_clean_stop(std::size_t log_chars = std::string::npos)
    {
        const double took = terminate(10);
        ASSERT_GE(took, 0) << "no exit within 10 s";
        EXPECT_LE(took, kExitMarginSeconds);
        EXPECT_TRUE(exited_cleanly()) << log().substr(0, log_chars);
    }
    bool exited_cleanly() const
    {
        return WIFEXITED(daemon.status) && WEXITSTATUS(daemon.status) == 0 &&
               th::count_of(daemon.log(), "gps: notice: stopped\n") == 1;
    }
};

// Descriptors, threads and resident memory of a running process.
struct Footprint {
    int fds;
    int threads;
    long rss_kb;
};

// The fewest descriptors of a few looks: the status files' temporary file
// and a port being reopened are open only for a moment, and a look that
// lands in that moment would count one too many.
inline Footprint footprint(const th::Process& p)
{
    int fds = p.fd_count();
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(20ms);
        fds = std::min(fds, p.fd_count());
    }
    return {fds, p.thread_count(), rss_kb(p.pid)};
}

inline bool built_with_sanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// The daemon runs under an emulator (qemu-user for the router's ARM build).
inline bool emulated()
{
    return th::program_argv(th::daemon_bin()).size() > 1;
}

// Resident memory is only a leak measure for the plain native build: an
// emulator's code cache grows as it meets new paths, and sanitizers keep
// freed memory in quarantine.
inline bool rss_meaningful()
{
    return !built_with_sanitizer() && !emulated();
}

}  // namespace fault_rig
