// SPDX-License-Identifier: BSD-2-Clause
// The end-to-end rig: the simulated router with the daemon on it, and looks at a process from outside.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "outputs/rsock.h"
#include "support/e2e.h"
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
// follows another GP, GL or BD position sentence with no "$GPGSV," between
// them; the identification sentence fid behind every "$GPRMC", and behind a
// GN or BD RMC until the link has sent a "$GPRMC".
inline std::string expected_stream(const std::string& capture, const std::string& fid = "")
{
    std::string out;
    bool position_seen = false, gprmc_seen = false;
    for (const std::string& line : lines_of(capture)) {
        if (line.find('*') == std::string::npos || line.find('\0') != std::string::npos)
            continue;
        const std::string tag = line.substr(0, 7);
        if (tag == "$GPGSV,")
            position_seen = false;
        if (tag == "$GPGGA," && position_seen)
            continue;
        if (tag == "$GPGGA," || tag == "$GPGNS," || tag == "$GLGNS," || tag == "$BDGNS,")
            position_seen = true;
        out += line;
        const std::string rmc = line.substr(0, 6);
        gprmc_seen = gprmc_seen || rmc == "$GPRMC";
        if (rmc == "$GPRMC" || ((rmc == "$GNRMC" || rmc == "$BDRMC") && !gprmc_seen))
            out += fid;
    }
    return out;
}

inline bool always_moving(int)
{
    return true;
}

// A replayable drive: numbered cycles of GGA, RMC and GSA. The cycle number
// is the GGA/RMC time of day, so order and whole bursts can be checked;
// moving(i) decides the RMC speed. Standing is written the ways receivers
// write it: a plain zero, zero in fixed-width digits, a parked drift.
inline std::string drive_capture(int cycles, bool (*moving)(int), int gsv_lines = 0)
{
    static const char* const kStanding[] = {"0.0", "000.0", "00.02"};
    std::string out;
    for (int i = 0; i < cycles; ++i) {
        char hms[16];
        std::snprintf(hms, sizeof hms, "%02d%02d%02d.00", 10 + i / 3600, i / 60 % 60, i % 60);
        const bool m = moving(i);
        out += th::with_checksum(std::string("GPGGA,") + hms + ",4333.1902,N,00127.6183,E,1,08,0.9,250.8,M,50.0,M,,");
        out += th::with_checksum(std::string("GPRMC,") + hms + ",A,4333.1902,N,00127.6183,E," +
                                 (m ? "12.5" : kStanding[i % 3]) + ",90.0,071226,,,A");
        out += th::with_checksum("GPGSA,A,3,02,05,07,09,13,16,20,30,,,,,1.6,0.9,1.3");
        for (int g = 0; g < gsv_lines; ++g)
            out += th::with_checksum("GPGSV,9,1,36,02,45,061,44,05,32,112,41,07,67,289,46,09,22,176,38");
    }
    return out;
}

inline std::string first_difference(const std::string& got, const std::string& want)
{
    return th::first_difference(got, want, 120);
}

// --- the simulated router -------------------------------------------------------

using NetServers = th::SimServers;

// The keys of remote stream n to host:port (protocol 0 TCP, 1 UDP).
inline Args rsock_keys(int n, const std::string& host, int protocol, int port, int period = 1, int halt = 1)
{
    const std::string k = "MOD_GPS_RSOCK" + std::to_string(n) + "_";
    return {k + "ENABLED=1",
            k + "IPADDR=" + host,
            k + "PROTOCOL=" + std::to_string(protocol),
            k + "PORT=" + std::to_string(port),
            k + "PERIOD=" + std::to_string(period),
            k + "PERIOD_HALT=" + std::to_string(halt)};
}

// The lists one after the other.
inline Args join(std::initializer_list<Args> parts)
{
    Args out;
    for (const Args& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Each text as the module received it on port ("PORT TEXT").
inline Args on(const std::string& port, const Args& texts)
{
    Args out;
    for (const auto& t : texts)
        out.push_back(port + " " + t);
    return out;
}

// The words of text, between spaces.
inline Args words(const std::string& text)
{
    Args out;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
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

// A simulation root with the simulator playing a module (the $GPS_START one
// unless told) and the daemon running on it.
struct Rig {
    th::TempDir dir;
    std::string root = dir.path;
    th::Process sim;
    th::Process daemon;
    Clock::time_point daemon_started;

    ~Rig()
    {
        if (daemon.pid > 0)
            daemon.stop(SIGKILL, 5s);
        sim.stop(SIGTERM, 5s);
    }

    std::string path(const std::string& rel) const { return root + rel; }

    void start_sim(const Args& args, const std::string& family = "gpsstart")
    {
        Args argv = {th::sim_bin(), "--root", root, "--family", family};
        argv.insert(argv.end(), args.begin(), args.end());
        sim.start(argv, {}, root + "/sim.stderr");
        ASSERT_TRUE(th::wait_until([&] { return th::file_exists(path("/sim/ready")); }, 20s)) << sim.log();
    }
    // The sim's arguments that replay text as the receiver's output.
    Args capture(const std::string& text) const
    {
        th::write_file(path("/capture.nmea"), text);
        return {"--capture", path("/capture.nmea")};
    }
    // The router's tools (the trap sender) first on PATH; wrapper: a command
    // that runs the daemon (its own arguments end with "--"); args behind.
    void start_daemon(const Args& wrapper = {}, const Args& args = {})
    {
        const char* sys = std::getenv("PATH");
        Args argv = wrapper;
        for (const std::string& w : th::program_argv(th::daemon_bin()))
            argv.push_back(w);
        argv.insert(argv.end(), args.begin(), args.end());
        daemon_started = Clock::now();
        daemon.start(argv, {{"GNSSD_ROOT", root}, {"PATH", root + "/bin:" + (sys ? sys : "/usr/bin:/bin")}},
                     root + "/gnssd.stderr");
    }
    bool wait_running() const { return daemon.wait_log("gps: notice: running...\n", 40s); }
    // The simulator with args and the settings, the daemon on it, until the
    // daemon runs.
    bool start(const Args& sim_args, const Args& settings = {})
    {
        start_sim(join({sim_args, settings_args(settings)}));
        start_daemon();
        return wait_running();
    }
    void ctl(const std::string& word) const { th::send_line(path("/sim/ctl"), word); }
    std::string ask(const std::string& request) const { return th::ask(root, request); }
    std::string file(const std::string& rel) const { return th::read_file(path(rel)); }
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
    // Stops the daemon (SIGTERM unless told); true when it exited cleanly within the time.
    bool stop_daemon(int sig = SIGTERM, std::chrono::milliseconds within = 30s)
    {
        return daemon.stop(sig, within) && exited_cleanly();
    }
    // The lock file of a router port ("ttyS0").
    std::string lock(const std::string& tty) const { return path("/run/lock/LCK.." + tty); }
    // The files of gone (router paths) that exist.
    std::vector<std::string> present(std::initializer_list<const char*> gone) const
    {
        std::vector<std::string> out;
        for (const char* f : gone)
            if (th::file_exists(path(f)))
                out.push_back(f);
        return out;
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
    return {fds, p.thread_count(), std::atol(status_field(p.pid, "VmRSS").c_str())};
}

inline bool rss_meaningful();

// The footprint after the last of cycles (what: of what) equals the one after
// cycle warm_up: printed, and checked.
inline void expect_flat(const char* what, int cycles, double seconds, int warm_up, const Footprint& first,
                        const Footprint& last)
{
    std::printf(
        "[ figures  ] %d %s cycles in %.1f s; after cycle %d: %d fds, %d threads, %ld kB; after cycle %d: %d "
        "fds, %d threads, %ld kB\n",
        cycles, what, seconds, warm_up, first.fds, first.threads, first.rss_kb, cycles, last.fds, last.threads,
        last.rss_kb);
    EXPECT_EQ(last.fds, first.fds);
    EXPECT_EQ(last.threads, first.threads);
    // Glibc reuses a freed record for the next one; a leak of one (about
    // 1.5 kB) a cycle shows as several pages.
    if (rss_meaningful()) {
        EXPECT_LE(last.rss_kb - first.rss_kb, 8) << "resident memory grew over " << cycles << " cycles";
    }
}

// The reader of /dev/nmea catches up with ttyS0: both got the same sentences.
inline ::testing::AssertionResult nmea_like_ttyS0(const Rig& rig, th::PtyReader& nmea)
{
    if (th::wait_until([&] { return nmea.text() == rig.out("ttyS0"); }, 10s))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << first_difference(nmea.text(), rig.out("ttyS0"));
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
