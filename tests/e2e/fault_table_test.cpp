// SPDX-License-Identifier: BSD-2-Clause
// Fault table: the real daemon under the router simulator keeps serving through receiver, line, lock,
// reader, file system and network faults, and stops within the waits its own lifecycle imposes.
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

namespace {

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
std::string status_field(pid_t pid, const std::string& name)
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

long rss_kb(pid_t pid)
{
    return std::atol(status_field(pid, "VmRSS").c_str());
}

// The daemon's SIGTERM handler is in place: from then on a SIGTERM is a
// request to stop, not the default death.
bool term_handler_installed(pid_t pid)
{
    const std::string mask = status_field(pid, "SigCgt");
    if (mask.empty())
        return false;
    return (std::strtoull(mask.c_str(), nullptr, 16) >> (SIGTERM - 1)) & 1;
}

// The main thread sits in a sleep (where the kernel tells: "0" or nothing
// when it hides the wait channel, and then this cannot be told).
bool main_thread_sleeping(pid_t pid)
{
    const std::string wchan = th::read_file("/proc/" + std::to_string(pid) + "/wchan");
    if (wchan.empty() || wchan == "0")
        return true;
    return wchan.find("nanosleep") != std::string::npos;
}

// Bytes the machine's TCP connections to a local port have queued but the
// peer has not taken (the sender's side of a stalled connection).
long unsent_bytes_to(int port)
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
std::string expected_stream(const std::string& capture)
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

std::string first_difference(const std::string& got, const std::string& want)
{
    return th::first_difference(got, want, 100);
}

std::string repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// --- the simulated router -------------------------------------------------------

using NetServers = th::SimServers;

Args rsock_keys(int n, const std::string& host, int protocol, int port)
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
Args settings_args(const Args& keys)
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
Footprint footprint(const th::Process& p)
{
    int fds = p.fd_count();
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(20ms);
        fds = std::min(fds, p.fd_count());
    }
    return {fds, p.thread_count(), rss_kb(p.pid)};
}

bool built_with_sanitizer()
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
bool emulated()
{
    return th::program_argv(th::daemon_bin()).size() > 1;
}

// Resident memory is only a leak measure for the plain native build: an
// emulator's code cache grows as it meets new paths, and sanitizers keep
// freed memory in quarantine.
bool rss_meaningful()
{
    return !built_with_sanitizer() && !emulated();
}

// =============================================================================
// Receiver faults
// =============================================================================

// Every unplug of the module costs a real reopen: "no data from GPS", the
// driver's close, the 1-second pause and the driver's 5-second settle delay
// before the port is opened again. 1,000 of them take almost two hours, so
// the suite runs the cycles for a fixed budget; GNSSD_UNPLUG_CYCLES=1000 asks
// for an exact count instead. The footprint after the first cycle must equal
// the footprint after the last one. A silent receiver goes first.
TEST(FaultTable, UnplugReplugCyclesLeaveDescriptorsThreadsAndMemoryFlat)
{
    th::TempDir srv_dir;
    NetServers srv;
    srv.start(srv_dir.path, {"tcp:fleet", "udp:feed"});
    Args keys{"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1", "MOD_GPS_GPSD_ENABLED=1",
              "MOD_GPS_GPSD_PORT_INNER=" + std::to_string(srv.port("feed"))};
    for (const std::string& k : rsock_keys(1, "127.0.0.1", 0, srv.port("fleet")))
        keys.push_back(k);
    Rig rig;
    Args sim_args{"--outputs", "--rate", "2"};
    for (const std::string& a : settings_args(keys))
        sim_args.push_back(a);
    rig.start_sim(sim_args);
    rig.start_daemon();
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") >= 2; }, 20s)) << rig.log();
    const std::string pty_before = std::filesystem::read_symlink(rig.path("/dev/nmea")).string();
    const std::string lock_before = th::read_file(rig.path("/run/lock/LCK..ttyS0"));

    // Silent receiver: the wait times out, the link is reopened, and the
    // stream goes on once the receiver talks again.
    // The status files outlive the link: while it is reopened they keep the
    // old link's last report and position, unchanged, for pages and scripts.
    const std::string stats = rig.path("/run/stats.gps");
    const std::string loc = rig.path("/run/loc.gps");
    ASSERT_TRUE(th::wait_until([&] { return th::file_exists(stats) && th::file_exists(loc); }, 5s));
    rig.ctl("silent");
    ASSERT_TRUE(rig.daemon.wait_log("gps: err: select timeout\n", 10s)) << rig.log();
    const std::string stats_silent = th::read_file(stats);
    const std::string loc_silent = th::read_file(loc);
    ASSERT_TRUE(rig.wait_count("gps: warning: no data from GPS\n", 1, 5s)) << rig.log();
    // The new link's start: the old link is closed, its files are still there.
    ASSERT_TRUE(rig.wait_count("gps: info: waiting 5 s for the module to settle\n", 2, 10s)) << rig.log();
    EXPECT_EQ(th::read_file(stats), stats_silent);
    EXPECT_EQ(th::read_file(loc), loc_silent);
    EXPECT_NE(stats_silent.find("Latitude           : "), std::string::npos) << stats_silent;
    rig.ctl("resume");
    int rmcs = rig.rmc("ttyS0");
    ASSERT_TRUE(th::wait_until([&] { return rig.module_texts("$GPS_START") >= 2 && rig.rmc("ttyS0") >= rmcs + 2; }, 30s))
        << rig.log();
    EXPECT_TRUE(th::file_exists(stats));

    // Unplug and plug again, as often as the budget allows.
    auto budget = std::chrono::duration_cast<Clock::duration>(60s);
    int max_cycles = 1000;
    if (const char* asked = std::getenv("GNSSD_UNPLUG_CYCLES"); asked && std::atoi(asked) >= 2) {
        max_cycles = std::atoi(asked);
        budget = Clock::duration::max();
    }
    Footprint first{}, last{};
    int cycles = 0;
    const auto t_cycles = Clock::now();
    while (cycles < max_cycles && (cycles < 2 || Clock::now() - t_cycles < budget)) {
        const int no_data = rig.log_count("gps: warning: no data from GPS\n");
        const int starts = rig.module_texts("$GPS_START");
        rmcs = rig.rmc("ttyS0");
        rig.ctl("unplug");
        ASSERT_TRUE(rig.wait_count("gps: warning: no data from GPS\n", no_data + 1, 10s)) << "cycle " << cycles;
        rig.ctl("plug");
        ASSERT_TRUE(
            th::wait_until([&] { return rig.module_texts("$GPS_START") > starts && rig.rmc("ttyS0") >= rmcs + 2; },
                           30s))
            << "cycle " << cycles << "\n"
            << rig.log();
        ++cycles;
        if (cycles == 1)
            first = footprint(rig.daemon);
    }
    last = footprint(rig.daemon);
    const std::size_t fleet_before = srv.received("fleet");
    const std::size_t feed_before = srv.received("feed");
    std::printf(
        "[ figures  ] %d unplug/plug cycles in %.1f s; after cycle 1: %d fds, %d threads, %ld kB; after "
        "cycle %d: %d fds, %d threads, %ld kB\n",
        cycles, seconds_since(t_cycles), first.fds, first.threads, first.rss_kb, cycles, last.fds, last.threads,
        last.rss_kb);
    EXPECT_EQ(last.fds, first.fds);
    EXPECT_EQ(last.threads, first.threads);
    // Glibc reuses the freed link record for the next one; a leak of one
    // record (about 1.5 kB) a cycle shows as several pages.
    if (rss_meaningful()) {
        EXPECT_LE(last.rss_kb - first.rss_kb, 8) << "resident memory grew over " << cycles << " cycles";
    }

    // Outputs and streams lived through every reopen.
    ASSERT_TRUE(
        th::wait_until([&] { return srv.received("fleet") > fleet_before && srv.received("feed") > feed_before; },
                       10s));
    const std::string log = rig.log();
    EXPECT_EQ(th::count_of(log, "Pseudo-terminal has been opened"), 1);
    EXPECT_EQ(th::count_of(log, "running..."), 1);
    EXPECT_EQ(th::count_of(log, "Pseudo terminal is closed"), 0);
    EXPECT_EQ(std::filesystem::read_symlink(rig.path("/dev/nmea")).string(), pty_before);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), lock_before);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyUSB9")), pid_text(rig.daemon.pid));
    // Every sentence reached both local outputs alike.
    EXPECT_TRUE(th::wait_until([&] { return nmea.text() == rig.out("ttyS0"); }, 10s))
        << first_difference(nmea.text(), rig.out("ttyS0"));

    const double took = rig.terminate(10);
    ASSERT_GE(took, 0) << "no exit within 10 s";
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
}

// Junk bytes, NUL bytes and two megabyte-long lines without a sentence end
// between the sentences of a real capture: none of it is passed on, and every
// sentence around it reaches the serial port and "/dev/nmea" byte for byte.
TEST(FaultTable, GarbageNulBytesAndAMegabyteWithoutLineEndAreSkipped)
{
    Rig rig;
    const std::string clean = th::read_file(th::data_path("gpsd-gp-320fw-2019-04-06-overflow.nmea"));
    ASSERT_GT(clean.size(), 8000u);
    // A megabyte with no sentence start (dropped read by read), and one of
    // sentence starts with neither checksum nor line end (the receive buffer
    // overflows over and over).
    std::string no_start, starts_only;
    while (no_start.size() < (1u << 20))
        no_start += "0123456789abcdefghijklmnopqrstuvwxyz,.;:-_ABCDEFGHIJKLMNOPQRSTUVWXYZ#!";
    while (starts_only.size() < (1u << 20))
        starts_only += "$GPJNK,0123456789,ABCDEFGHIJKLMNOPQRSTUVWXYZ,";
    // A sentence with NUL bytes inside is dropped whole, checksum or not.
    const std::string nul_inside("$GPTXT,01,01,02,NUL\0\0\0\0 inside a sentence*5A\r\n", 46);
    const std::string capture = clean + no_start + "\r\n" + clean + nul_inside + starts_only + "\r\n" + nul_inside +
                                clean;
    const std::string want = expected_stream(capture);
    th::write_file(rig.path("/capture.nmea"), capture);

    rig.start_sim({"--outputs", "--capture", rig.path("/capture.nmea"), "--rate", "10", "--set",
                   "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_PTY_ENABLED=1"});
    rig.start_daemon();
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    // Junk and NUL bytes between sentences, while the capture streams.
    for (const char* word : {"garbage", "nul", "garbage", "nul"}) {
        const int rmcs = rig.rmc("ttyS0");
        ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") > rmcs; }, 10s)) << rig.log();
        rig.ctl(word);
    }
    ASSERT_TRUE(th::wait_until([&] { return rig.out("ttyS0").size() >= want.size(); }, 60s)) << rig.log();
    EXPECT_TRUE(th::wait_until([&] { return nmea.size() >= want.size(); }, 10s));
    EXPECT_EQ(first_difference(rig.out("ttyS0"), want), "");
    EXPECT_EQ(first_difference(nmea.text(), want), "");
    EXPECT_GE(rig.log_count("gps: err: NMEA receive buffer overflow\n"), 1) << rig.log();
    EXPECT_EQ(rig.log_count("no data from GPS"), 0) << rig.log();
    ASSERT_TRUE(rig.daemon.running());

    const double took = rig.terminate(10);
    ASSERT_GE(took, 0) << "no exit within 10 s";
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
}

// =============================================================================
// Output faults
// =============================================================================

// A device node the test plays the far side of: a pseudo-terminal whose
// slave is linked into the root in place of whatever the node was before.
struct PluggedDevice {
    int master = -1;
    std::string got;

    bool plug(const std::string& node)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char slave[128];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, slave, sizeof slave) != 0)
            return false;
        const std::string tmp = node + ".plug";
        unlink(tmp.c_str());
        return symlink(slave, tmp.c_str()) == 0 && rename(tmp.c_str(), node.c_str()) == 0;
    }
    // Reads what arrived; true once a whole sentence is there.
    bool wait_sentence(std::chrono::milliseconds timeout)
    {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                char buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, static_cast<std::size_t>(n));
                else
                    std::this_thread::sleep_for(2ms);  // nobody holds the slave open yet
            }
            if (got.find("\r\n") != std::string::npos)
                return true;
        }
        return false;
    }
    void unplug()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    ~PluggedDevice() { unplug(); }
};

// The USB-serial output port is a device that comes and goes. Unplugging it
// makes the next write fail and close the port; the sentence after that
// locks and opens the node again. This reopen costs no wait of its own, so
// here 1,000 unplug/replug cycles fit: descriptors, threads and memory stay
// as they were, every reopen starts at a sentence start, and ttyS0 never
// notices.
TEST(FaultTable, UsbSerialOutputUnpluggedAndRepluggedAThousandTimes)
{
    Rig rig;
    rig.start_sim({"--outputs", "--rate", "250", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_USBP_ENABLED=1"});
    const std::string node = rig.path("/dev/ttyUSB0");
    auto device = std::make_unique<PluggedDevice>();
    ASSERT_TRUE(device->plug(node));
    rig.start_daemon();
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    ASSERT_TRUE(device->wait_sentence(10s)) << rig.log();

    constexpr int kCycles = 1000;
    constexpr int kWarmUp = 10;
    constexpr auto kBudget = 90s;
    Footprint first{}, last{};
    int cycles = 0, torn = 0;
    const int rmcs = rig.rmc("ttyS0");
    const auto t0 = Clock::now();
    while (cycles < kCycles && Clock::now() - t0 < kBudget) {
        auto next = std::make_unique<PluggedDevice>();
        ASSERT_TRUE(next->plug(node)) << "cycle " << cycles;
        device->unplug();
        ASSERT_TRUE(next->wait_sentence(5s)) << "cycle " << cycles << "\n" << rig.log().substr(0, 4000);
        torn += next->got[0] != '$';
        device = std::move(next);
        if (++cycles == kWarmUp)
            first = footprint(rig.daemon);
    }
    last = footprint(rig.daemon);
    std::printf(
        "[ figures  ] %d output unplug/replug cycles in %.1f s; after cycle %d: %d fds, %d threads, %ld kB; "
        "after cycle %d: %d fds, %d threads, %ld kB\n",
        cycles, seconds_since(t0), kWarmUp, first.fds, first.threads, first.rss_kb, cycles, last.fds, last.threads,
        last.rss_kb);
    // A sanitized or emulated daemon is slower: it does what the budget allows.
    if (rss_meaningful()) {
        EXPECT_EQ(cycles, kCycles) << "the budget ran out";
    }
    ASSERT_GT(cycles, kWarmUp);
    EXPECT_EQ(torn, 0) << "reopened ports that began inside a sentence";
    EXPECT_EQ(last.fds, first.fds);
    EXPECT_EQ(last.threads, first.threads);
    if (rss_meaningful()) {
        EXPECT_LE(last.rss_kb - first.rss_kb, 8) << "resident memory grew over " << cycles << " cycles";
    }
    const std::string log = rig.log();
    EXPECT_EQ(th::count_of(log, "device(/dev/ttyUSB0) is locked"), 0);
    EXPECT_EQ(th::count_of(log, "ttyS0"), 0) << "the serial port next to it noticed";
    EXPECT_GT(rig.rmc("ttyS0"), rmcs);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyUSB0")), pid_text(rig.daemon.pid));

    const double took = rig.terminate(10);
    ASSERT_GE(took, 0) << "no exit within 10 s";
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    EXPECT_FALSE(th::file_exists(rig.path("/run/lock/LCK..ttyUSB0")));
}

// ttyS0 carries a lock file of a process that is gone: it is taken over at
// the first sentence. ttyS1 is locked by a live process: it is skipped
// without waiting and tried again once a second, while ttyS0 and /dev/nmea
// get every sentence at full pace; once the holder dies, its lock is stale
// and ttyS1 is taken over without a restart.
TEST(FaultTable, SerialOutputLockedByALiveProcessDropsWhileAStaleLockIsTakenOver)
{
    Rig rig;
    rig.start_sim({"--outputs", "--rate", "4", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_EP2_ENABLED=1",
                   "--set", "MOD_GPS_PTY_ENABLED=1"});
    th::Process holder;
    holder.start({"sleep", "600"}, {}, rig.path("/holder.log"));
    ASSERT_GT(holder.pid, 0);
    th::write_file(rig.path("/run/lock/LCK..ttyS1"), pid_text(holder.pid));
    th::write_file(rig.path("/run/lock/LCK..ttyS0"), pid_text(dead_pid()));
    rig.start_daemon();
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);

    // The lock costs no wait: two tries a second apart, and meanwhile the
    // other outputs keep the stream's pace (four cycles a second).
    const auto t0 = Clock::now();
    ASSERT_TRUE(rig.wait_count("gps: err: device(/dev/ttyS1) is locked\n", 2, 30s)) << rig.log();
    ASSERT_TRUE(th::wait_until([&] { return th::count_of(nmea.text(), "\r\n") >= 8; }, 4s)) << rig.log();
    EXPECT_LE(rig.log_count("device(/dev/ttyS1) is locked"), static_cast<int>(seconds_since(t0)) + 2);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), pid_text(rig.daemon.pid));
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS1")), pid_text(holder.pid));
    EXPECT_EQ(rig.out("ttyS1"), "");
    EXPECT_GE(th::count_of(rig.out("ttyS0"), "\r\n"), 2);
    EXPECT_EQ(rig.log_count("device(/dev/ttyS0) is locked"), 0);

    // The holder dies without removing its lock.
    ASSERT_TRUE(holder.stop(SIGKILL, 5s));
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS1") >= 2; }, 30s)) << rig.log();
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS1")), pid_text(rig.daemon.pid));
    // The same sentences everywhere: ttyS1 from its takeover on.
    EXPECT_TRUE(th::wait_until(
        [&] {
            const std::string s0 = rig.out("ttyS0"), s1 = rig.out("ttyS1");
            return !s1.empty() && s0.size() >= s1.size() && s0.compare(s0.size() - s1.size(), s1.size(), s1) == 0;
        },
        10s))
        << "ttyS1 does not end like ttyS0";
    EXPECT_TRUE(th::wait_until([&] { return nmea.text() == rig.out("ttyS0"); }, 10s))
        << first_difference(nmea.text(), rig.out("ttyS0"));

    const double took = rig.terminate(10);
    ASSERT_GE(took, 0) << "no exit within 10 s";
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    EXPECT_FALSE(th::file_exists(rig.path("/run/lock/LCK..ttyS0")));
    EXPECT_FALSE(th::file_exists(rig.path("/run/lock/LCK..ttyS1")));
}

// Nobody opens /dev/nmea while an hour's worth of sentences (a real capture
// replayed at high speed) passes: the full pseudo-terminal
// costs the sentences it cannot take, never the serial port's, and a reader
// that comes at last gets the current sentences.
TEST(FaultTable, PseudoTerminalNobodyReadsNeitherBlocksNorCloses)
{
    Rig rig;
    // 224 receiver cycles; 16 passes are about an hour of sentences.
    const std::string capture = th::read_file(th::data_path("gpsd-telit-he910.nmea"));
    ASSERT_GT(capture.size(), 80000u);
    th::write_file(rig.path("/capture.nmea"), capture);
    const std::string period = expected_stream(capture + capture).substr(expected_stream(capture).size());
    constexpr int kPasses = 16;
    const std::size_t hour = period.size() * kPasses;

    // A thousand receiver cycles a second: far more than the daemon needs
    // to keep up, paced so that the serial port, whose full queue would drop
    // sentences by design, is never flooded in bursts.
    rig.start_sim({"--outputs", "--capture", rig.path("/capture.nmea"), "--rate", "1000", "--loop", "--set",
                   "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_PTY_ENABLED=1"});
    rig.start_daemon();
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    const auto t0 = Clock::now();
    ASSERT_TRUE(th::wait_until([&] { return rig.out("ttyS0").size() >= hour; }, 150s))
        << rig.out("ttyS0").size() << " of " << hour << " bytes\n"
        << rig.log().substr(0, 4000);
    std::printf("[ figures  ] %zu bytes (%d capture passes) through ttyS0 in %.1f s with /dev/nmea unread\n", hour,
                kPasses, seconds_since(t0));
    // The serial port lost nothing: whole passes of the capture, in order.
    const std::string s0 = rig.out("ttyS0");
    const std::string head = expected_stream(capture) + repeat(period, kPasses);
    const std::size_t n = std::min(s0.size(), head.size());
    EXPECT_EQ(first_difference(s0.substr(0, n), head.substr(0, n)), "");
    EXPECT_EQ(rig.log_count("Pseudo terminal is closed"), 0);
    EXPECT_EQ(rig.log_count("no data from GPS"), 0) << rig.log();
    ASSERT_TRUE(th::file_exists(rig.path("/dev/nmea")));

    // A late reader: what queued while nobody read, then the live stream.
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    const std::size_t tail = 16384;
    ASSERT_TRUE(th::wait_until([&] { return nmea.size() >= 8 * tail; }, 30s)) << nmea.size();
    const std::string got = nmea.text();
    std::string recent = got.substr(got.size() - tail);
    recent.erase(0, recent.find("\r\n$") + 2);
    recent.erase(recent.rfind("\r\n") + 2);
    EXPECT_NE((period + period).find(recent), std::string::npos) << "the live stream at /dev/nmea is not whole";
    // From its very first byte the reader gets whole sentences: a full queue
    // is discarded between batches, never cut inside one.
    int spliced = 0;
    for (std::size_t at = 0, end; (end = got.find("\r\n", at)) != std::string::npos; at = end + 2)
        spliced += period.find(got.substr(at, end + 2 - at)) == std::string::npos || got.compare(at, 1, "$") != 0 ||
                   got.find('$', at + 1) < end;
    EXPECT_EQ(spliced, 0) << got.substr(0, 2000);
    ASSERT_TRUE(rig.daemon.running());

    const double took = rig.terminate(10);
    ASSERT_GE(took, 0) << "no exit within 10 s";
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log().substr(0, 4000);
}

// "/run" cannot be written (a read-only directory; "/run/lock" is a file
// system of its own on the router and stays writable): the status and
// location files and the control socket fail with their messages, and the
// sentences flow as before.
TEST(FaultTable, RunNotWritableStillPassesEverySentenceOn)
{
    Args wrapper;
    if (geteuid() == 0) {
        // Root writes into any directory; without the override capability
        // it is held to the directory's mode like anyone else.
        if (std::system("setpriv --help >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "running as root and setpriv is missing: a read-only directory cannot be made";
        wrapper = {"setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    Rig rig;
    rig.start_sim({"--outputs", "--rate", "4", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_PTY_ENABLED=1"});
    ASSERT_EQ(chmod(rig.path("/run").c_str(), 0555), 0);
    rig.start_daemon(wrapper);
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    // The location file is written from the first fix on.
    ASSERT_TRUE(rig.daemon.wait_log("gps: err: create (/run/loc.gps) error\n", 30s)) << rig.log();
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") >= 4; }, 20s)) << rig.log();
    EXPECT_TRUE(th::wait_until([&] { return nmea.text() == rig.out("ttyS0"); }, 10s))
        << first_difference(nmea.text(), rig.out("ttyS0"));
    const std::string log = rig.log();
    EXPECT_NE(log.find("gps: err: create (/run/stats.gps) error\n"), std::string::npos) << log;
    EXPECT_NE(log.find("gps: err: create (/run/loc.gps) error\n"), std::string::npos) << log;
    EXPECT_NE(log.find("gps: err: bind socket error: Permission denied\n"), std::string::npos) << log;
    EXPECT_FALSE(th::file_exists(rig.path("/run/stats.gps")));
    EXPECT_FALSE(th::file_exists(rig.path("/run/gps.socket")));
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), pid_text(rig.daemon.pid));

    const double took = rig.terminate(10);
    ASSERT_GE(took, 0) << "no exit within 10 s";
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    chmod(rig.path("/run").c_str(), 0755);
}

// =============================================================================
// Bounded shutdown
// =============================================================================

// One state of the service's life in which SIGTERM arrives, and the waits the
// daemon is still bound to sit out after it: a wait the signal interrupts ends
// at once; one that starts after the signal was taken runs its full length.
struct LifecycleCase {
    const char* name;
    Args sim_args;
    // Brings the daemon into the state; false when it did not get there.
    std::function<bool(Rig&)> reach;
    double design_wait_seconds;
    // 1: the module's engine ran at the stop and must get the stop text; 0:
    // it must not; -1: an open that the stop undoes at once, too fast for the
    // simulator to see (it finds the port closed again before it reads).
    int engine_on_at_stop;
    const char* why;
};

void PrintTo(const LifecycleCase& c, std::ostream* os)
{
    *os << c.name;
}

bool first_sentences(Rig& r)
{
    return r.daemon.wait_log("gps: notice: running...\n", 40s) &&
           th::wait_until([&] { return r.rmc("ttyS0") >= 1; }, 20s);
}

bool unplugged(Rig& r)
{
    if (!first_sentences(r))
        return false;
    r.ctl("unplug");
    return r.daemon.wait_log("gps: warning: no data from GPS\n", 10s);
}

const LifecycleCase kLifecycle[] = {
    {"FirstOpenSettleDelay",
     {},
     [](Rig& r) {
         // Past the handler's installation and the install step, asleep,
         // and the module has not had its start text: inside the driver's
         // settle delay.
         return th::wait_until(
                    [&] {
                        return term_handler_installed(r.daemon.pid) &&
                               r.log().find("gps: notice: no installation required\n") != std::string::npos &&
                               main_thread_sleeping(r.daemon.pid);
                    },
                    10s) &&
                r.module_texts("$GPS_START") == 0;
     },
     0,
     0,
     "the settle delay is interrupted; the start stops there and the module is never switched on"},
    {"FirstOpenNoModule",
     {"--usb", "none"},
     [](Rig& r) { return r.daemon.wait_log("gps: err: no GPS module available\n", 20s); },
     0,
     0,
     "the 10-second pause after a failed open is interrupted"},
    {"Running", {}, first_sentences, 0, 1, "the wait for receiver data is interrupted"},
    {"ReopenModuleBack",
     {},
     [](Rig& r) {
         if (!unplugged(r))
             return false;
         r.ctl("plug");
         return true;
     },
     0,
     0,
     "the 1-second pause is interrupted; no new link is opened after the stop request"},
    {"ReopenModuleGoneFailurePause",
     {},
     [](Rig& r) { return unplugged(r) && r.daemon.wait_log("gps: err: initialization failed\n", 15s); },
     0,
     0,
     "the 10-second pause after the failed open is interrupted"},
    {"ReopenModuleGonePause",
     {},
     unplugged,
     0,
     0,
     "the 1-second pause is interrupted; no new link is opened after the stop request"},
    {"StartToolHangs",
     {"--family", "atgps", "--opt", "gsmat_hang=AT!CUSTOM?"},
     [](Rig& r) {
         return th::wait_until(
             [&] {
                 return term_handler_installed(r.daemon.pid) &&
                        th::read_file(r.path("/sim/atgps-hang.pid")).find('\n') != std::string::npos;
             },
             20s);
     },
     0,
     0,
     "a gsmat of the start that ignores SIGTERM is killed at once with its child, and no further tool runs"},
};

class Lifecycle : public ::testing::TestWithParam<LifecycleCase> {};

TEST_P(Lifecycle, SigtermEndsTheServiceWithinTheDesignsWaits)
{
    const LifecycleCase& c = GetParam();
    Rig rig;
    Args sim_args{"--outputs", "--rate", "2", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_PTY_ENABLED=1"};
    sim_args.insert(sim_args.end(), c.sim_args.begin(), c.sim_args.end());
    rig.start_sim(sim_args);
    rig.start_daemon();
    ASSERT_TRUE(c.reach(rig)) << rig.log();
    const double limit = c.design_wait_seconds + kExitMarginSeconds;
    const double took = rig.terminate(limit + 15);
    std::printf("[ figures  ] %s: exit %.2f s after SIGTERM (design waits %.0f s: %s)\n", c.name, took,
                c.design_wait_seconds, c.why);
    ASSERT_GE(took, 0) << "no exit within " << limit + 15 << " s\n" << rig.log();
    EXPECT_LE(took, limit) << c.why;
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    const std::string log = rig.log();
    // Whatever state it left, the service tore down what it had built.
    EXPECT_NE(log.find("gps: notice: Pseudo-terminal has been closed\ngps: notice: stopped\n"), std::string::npos)
        << log;
    for (const char* gone : {"/dev/nmea", "/run/stats.gps", "/run/loc.gps", "/run/gps.socket", "/run/lock/LCK..ttyS0",
                             "/run/lock/LCK..ttyUSB9"})
        EXPECT_FALSE(th::file_exists(rig.path(gone))) << gone;
    // An engine that was running at the stop was switched off (a stop text
    // written to an unplugged port reaches nobody).
    if (c.engine_on_at_stop >= 0) {
        EXPECT_EQ(rig.module_texts("$GPS_STOP"), c.engine_on_at_stop) << log;
    }
    if (std::string(c.name) == "StartToolHangs") {
        const pid_t child = std::atoi(th::read_file(rig.path("/sim/atgps-hang.pid")).c_str());
        EXPECT_TRUE(child > 0 && th::wait_until([&] { return kill(child, 0) != 0; }, 5s))
            << "the tool's child lives on";
        EXPECT_EQ(th::read_file(rig.path("/sim/tools.log")), "gsmat AT!CUSTOM?\n") << "a tool ran after the stop";
    }
    if (std::string(c.name) == "FirstOpenSettleDelay") {
        EXPECT_EQ(log.find("running..."), std::string::npos) << log;
        EXPECT_LT(seconds_since(rig.daemon_started), 5.0) << "the settle delay was not interrupted";
    }
}

INSTANTIATE_TEST_SUITE_P(FaultTable, Lifecycle, ::testing::ValuesIn(kLifecycle),
                         [](const ::testing::TestParamInfo<LifecycleCase>& info) { return info.param.name; });

// A listener whose accept queue is full: connects to it get no answer, like
// connects to an address that drops every packet.
struct Blackhole {
    int fd = -1;
    int port = 0;
    std::vector<int> fillers;
    Blackhole()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(fd, 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        for (int i = 0; i < 4; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers.push_back(c);
        }
    }
    ~Blackhole()
    {
        for (int c : fillers)
            close(c);
        close(fd);
    }
};

// A capture of large receiver cycles (about 10 kB each), so that a stalled
// server's connection fills within seconds.
std::string heavy_capture(int cycles)
{
    const auto sentence = th::with_checksum;
    std::string out;
    for (int i = 0; i < cycles; ++i) {
        char hms[16];
        std::snprintf(hms, sizeof hms, "12%02d%02d.00", i / 60 % 60, i % 60);
        out += sentence(std::string("GPRMC,") + hms + ",A,4333.1902,N,00127.6183,E,12.5,90.0,071226,,,A");
        out += sentence(std::string("GPGGA,") + hms + ",4333.1902,N,00127.6183,E,1,08,0.9,250.8,M,50.0,M,,");
        for (int g = 0; g < 140; ++g)
            out += sentence("GPGSV,3,1,10,02,45,061,44,05,32,112,41,07,67,289,46,09,22,176,38");
    }
    return out;
}

// Remote streams pointed at a server that stopped reading, at an address
// that never answers a connect and at a full listener, SNMP traps and a
// control-shell client that connected and says nothing: none of them holds
// up the stop. The $GPS_START driver's stop sequence has no wait of its own.
TEST(FaultTable, StalledAndUnansweredSocketsAndAnIdleShellClientDoNotDelayTheStop)
{
    th::TempDir srv_dir;
    NetServers srv;
    srv.start(srv_dir.path, {"tcp:stall", "udp:feed"}, 2048);
    Blackhole hole;
    Args keys{"MOD_GPS_EP1_ENABLED=1",         "MOD_GPS_PTY_ENABLED=1",
              "MOD_GPS_GPSD_ENABLED=1",        "MOD_GPS_GPSD_PORT_INNER=" + std::to_string(srv.port("feed")),
              "MOD_GPS_SNMP_REPORT_ENABLED=1", "MOD_GPS_SNMP_REPORT_IPADDR=127.0.0.1",
              "MOD_GPS_SNMP_REPORT_PERIOD=1",  "MOD_GPS_SNMP_REPORT_PERIOD_HALT=1"};
    for (const Args& more : {rsock_keys(1, "127.0.0.1", 0, srv.port("stall")), rsock_keys(2, "10.255.255.1", 0, 9),
                             rsock_keys(3, "127.0.0.1", 0, hole.port), rsock_keys(4, "127.0.0.1", 1, srv.port("feed"))})
        keys.insert(keys.end(), more.begin(), more.end());
    Rig rig;
    th::write_file(rig.path("/capture.nmea"), heavy_capture(60));
    Args sim_args{"--outputs", "--capture", rig.path("/capture.nmea"), "--loop", "--rate", "2"};
    for (const std::string& a : settings_args(keys))
        sim_args.push_back(a);
    rig.start_sim(sim_args);
    rig.start_daemon();
    ASSERT_TRUE(rig.daemon.wait_log("gps: notice: running...\n", 40s)) << rig.log();
    ASSERT_TRUE(th::wait_until([&] { return srv.received("stall") > 0; }, 20s)) << rig.log();
    srv.command("stall stall");

    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", rig.path("/run/gps.socket").c_str());
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << std::strerror(errno);

    // The stalled connection holds a backlog the server does not take (the
    // sender's buffer grows with it here, up to megabytes, so a send that
    // blocks outright is left to the in-process tests of the streams).
    const int stall_port = srv.port("stall");
    ASSERT_TRUE(th::wait_until([&] { return unsent_bytes_to(stall_port) >= 8192; }, 30s))
        << unsent_bytes_to(stall_port);
    const std::size_t stalled_at = srv.received("stall");
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") >= 3; }, 10s));
    EXPECT_EQ(srv.received("stall"), stalled_at);

    const long stuck = unsent_bytes_to(stall_port);
    const double took = rig.terminate(20);
    std::printf("[ figures  ] exit %.2f s after SIGTERM with %ld bytes stuck toward a stalled server\n", took, stuck);
    ASSERT_GE(took, 0) << "no exit within 20 s\n" << rig.log();
    EXPECT_LE(took, kExitMarginSeconds);
    EXPECT_TRUE(rig.exited_cleanly()) << rig.log();
    EXPECT_FALSE(th::file_exists(rig.path("/run/gps.socket")));
    // The idle client sees its connection closed.
    pollfd p{client, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 2000), 1);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), 0);
    close(client);
}

// =============================================================================
// Clock set back while remote streams frame bursts
// =============================================================================

// The daemon cannot set the machine's clock back in a test, so the framing is
// driven with given wall-clock times. A step back joins the sentences around
// it into one burst; what follows is framed as before, and no burst is lost
// but by the rules (a gap of 2 s or more).
TEST(FaultTable, ClockSetBackWhileFramingKeepsBurstsFlowing)
{
    th::process_root();
    // A refused TCP server: the worker waits between connect attempts and
    // never takes a completed burst away while the test looks at it.
    int refusing = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    getsockname(refusing, reinterpret_cast<sockaddr*>(&sa), &len);
    RemoteSocketSettings settings{};
    char host[] = "127.0.0.1";
    settings.enabled = 1;
    settings.ipaddr = host;
    settings.protocol = 0;
    settings.port = ntohs(sa.sin_port);
    settings.period = 1;
    settings.period_halt = 1;

    struct Write {
        const char* data;
        long long at_us;            // wall clock of the write
        const char* pending_after;  // the completed burst waiting to be sent afterwards
    };
    struct Case {
        const char* legend;
        std::vector<Write> writes;
    };
    constexpr long long kHour = 3600LL * 1000000;
    const Case cases[] = {
        {"an hour back mid-burst: joined, then cycles complete as before",
         {{"A", 10 * kHour, ""},
          {"a", 10 * kHour + 100000, ""},
          {"B", 9 * kHour, ""},
          {"b", 9 * kHour + 100000, ""},
          {"C", 9 * kHour + 1000000, "AaBb"},
          {"D", 9 * kHour + 2000000, "C"},
          {"E", 9 * kHour + 3000000, "D"}}},
        {"a tenth of a second back across the second boundary",
         {{"A", 5000000, ""}, {"B", 4900000, ""}, {"C", 5800000, "AB"}, {"D", 6800000, "C"}}},
        {"back by exactly one second at a cycle boundary",
         {{"A", 5000000, ""}, {"B", 6000000, "A"}, {"C", 5000000, "A"}, {"D", 6000000, "BC"}}},
        {"back to the epoch, then forward again to the present",
         {{"A", 1700000000LL * 1000000, ""},
          {"B", 0, ""},
          {"C", 1000000, "AB"},
          {"D", 1700000001LL * 1000000, "AB"},
          {"E", 1700000002LL * 1000000, "D"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        RemoteSocket* rs = rsock_open(&settings);
        ASSERT_NE(rs, nullptr);
        for (const Write& w : c.writes) {
            rsock_write_at(rs, w.data, std::strlen(w.data), 1, w.at_us / 1000);
            char buf[64] = {};
            const int n = rsock_peek(rs, 1, buf, sizeof buf - 1, nullptr);
            ASSERT_GE(n, 0);
            EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), w.pending_after) << "after " << w.data;
        }
        rsock_close(rs);
    }
    close(refusing);
}

}  // namespace
