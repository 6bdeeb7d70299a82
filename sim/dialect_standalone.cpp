// SPDX-License-Identifier: BSD-2-Clause
// Simulated stand-alone serial receiver on "/dev/ttyS1", streaming at its own baud rate.
//
// The receiver needs no commands: once a second it sends one burst of NMEA at
// its configured speed (option baud=9600|115200, default 9600). While the
// port is set to another speed the line only carries unreadable bytes, as a
// UART sampling at the wrong rate would make of them; the speed is read from
// the pseudo-terminal's line settings, which the daemon sets on its side.
// Option content=nmea (RMC, GGA, GSV and the receiver's own "$PTWS"),
// gptxt (only "$GPTXT" lines) or silent; the choice is kept in
// ROOT/sim/standalone-content and read again every second, so that a test can
// change the receiver while it runs. Nothing is sent while no program holds
// the port open. Speed changes are noted in events.log ("ttyS1 speed N").
//
// The port is played here rather than by the simulator's common stream
// because what goes on the line depends on the speed the listener chose.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "sim.h"

namespace {

const char* const kNoCorePorts[] = {nullptr};
constexpr const char* kPort = "/dev/ttyS1";
constexpr int kCycleMs = 1000;
constexpr int kTickMs = 50;

struct SpeedName {
    int baud;
    speed_t constant;
};
constexpr SpeedName kSpeeds[] = {{4800, B4800},   {9600, B9600},   {19200, B19200},
                                 {38400, B38400}, {57600, B57600}, {115200, B115200}};

int baud_of(speed_t s)
{
    for (const SpeedName& n : kSpeeds)
        if (n.constant == s)
            return n.baud;
    return 0;
}

speed_t constant_of(int baud)
{
    for (const SpeedName& n : kSpeeds)
        if (n.baud == baud)
            return n.constant;
    return B9600;
}

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string with_checksum(const std::string& body)
{
    unsigned x = 0;
    for (char c : body)
        x ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", x);
    return "$" + body + tail;
}

std::string nmea_burst(const std::string& content)
{
    if (content == "gptxt")
        return with_checksum("GPTXT,01,01,02,ANTSTATUS=OK");
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char hms[32], dmy[32];
    std::snprintf(hms, sizeof hms, "%02d%02d%02d.00", t.tm_hour, t.tm_min, t.tm_sec);
    std::snprintf(dmy, sizeof dmy, "%02d%02d%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100);
    std::string out;
    out += with_checksum(std::string("GPRMC,") + hms + ",A,5004.5300,N,01426.2680,E,0.0,0.0," + dmy + ",,,A");
    out += with_checksum(std::string("GPGGA,") + hms + ",5004.5300,N,01426.2680,E,1,08,0.9,245.0,M,45.0,M,,");
    out += with_checksum("GPGSV,1,1,04,01,45,120,40,03,30,200,38,07,60,045,44,11,15,300,30");
    out += with_checksum("PTWS,JAM,SIGNAL,VAL,0.00");
    return out;
}

// What a line at the wrong rate delivers: no '$', no line structure.
std::string garbage_like(std::size_t size)
{
    static const unsigned char kNoise[] = {0xff, 0x00, 0xf8, 0x80, 0xfe, 0x1e, 0xe0, 0x00, 0x78, 0xe6, 0x98, 0x06};
    std::string out;
    for (std::size_t i = 0; i < size / 4 + 1; ++i)
        out.push_back(static_cast<char>(kNoise[i % sizeof kNoise]));
    return out;
}

struct Receiver {
    Sim* sim = nullptr;
    int master = -1;
    std::string link;
    speed_t own_speed = B9600;
    std::string content_file;
    std::atomic<bool> running{false};
    std::thread thread;

    ~Receiver() { stop(); }

    // Runs at exit, before the simulator's own state goes away.
    void stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
        if (master >= 0)
            close(master);
        master = -1;
        if (!link.empty())
            unlink(link.c_str());
        link.clear();
    }

    std::string read_content() const
    {
        char text[32] = {};
        FILE* f = std::fopen(content_file.c_str(), "r");
        if (f == nullptr)
            return "nmea";
        if (std::fgets(text, sizeof text, f) == nullptr)
            text[0] = '\0';
        std::fclose(f);
        text[std::strcspn(text, "\r\n")] = '\0';
        return text;
    }

    bool held_open() const
    {
        pollfd p{master, POLLOUT, 0};
        return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
    }

    // The receiver's bursts start once a second on the clock and go out at
    // the receiver's own line rate, as a real UART sends them.
    void loop()
    {
        speed_t seen = 0;
        int64_t next_ms = now_ms();
        std::string pending;
        const std::size_t per_tick = static_cast<std::size_t>(baud_of(own_speed)) / 10 * kTickMs / 1000 + 1;
        while (running) {
            char drain[512];
            while (read(master, drain, sizeof drain) > 0) {
            }
            termios tio{};
            const speed_t now = tcgetattr(master, &tio) == 0 ? cfgetospeed(&tio) : 0;
            if (now != seen) {
                sim_event(sim, "ttyS1 speed " + std::to_string(baud_of(now)));
                seen = now;
            }
            const bool listened = held_open();
            const int64_t t = now_ms();
            if (t >= next_ms) {
                next_ms = std::max(next_ms + kCycleMs, t - kCycleMs);
                const std::string content = read_content();
                if (content != "silent" && listened) {
                    std::string burst = nmea_burst(content);
                    pending += now == own_speed ? burst : garbage_like(burst.size());
                }
            }
            // Bytes sent while nobody listens are lost, as on a real line.
            if (!listened)
                pending.clear();
            if (!pending.empty()) {
                const std::size_t n = std::min(pending.size(), per_tick);
                if (write(master, pending.data(), n) > 0) {
                    // A full line drops what did not fit, as a real one would.
                }
                pending.erase(0, n);
            }
            usleep(kTickMs * 1000);
        }
    }
};

Receiver g_receiver;

void init(Sim* sim)
{
    Receiver& r = g_receiver;
    r.sim = sim;
    r.own_speed = constant_of(std::atoi(sim_option(sim, "baud", "9600").c_str()));
    r.content_file = sim_root(sim) + "/sim/standalone-content";
    if (FILE* f = std::fopen(r.content_file.c_str(), "w")) {
        std::fprintf(f, "%s\n", sim_option(sim, "content", "nmea").c_str());
        std::fclose(f);
    }
    r.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (r.master < 0 || grantpt(r.master) != 0 || unlockpt(r.master) != 0) {
        std::fprintf(stderr, "gnssd-sim: pseudo-terminal: %s\n", std::strerror(errno));
        return;
    }
    char slave[128];
    if (ptsname_r(r.master, slave, sizeof slave) != 0)
        return;
    // Raw until the daemon sets its own line settings.
    int s = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s >= 0) {
        termios tio{};
        if (tcgetattr(s, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(s, TCSANOW, &tio);
        }
        close(s);
    }
    fcntl(r.master, F_SETFL, fcntl(r.master, F_GETFL) | O_NONBLOCK);
    r.link = sim_root(sim) + kPort;
    unlink(r.link.c_str());
    if (symlink(slave, r.link.c_str()) != 0) {
        std::fprintf(stderr, "gnssd-sim: symlink %s: %s\n", r.link.c_str(), std::strerror(errno));
        r.link.clear();
        return;
    }
    r.running = true;
    r.thread = std::thread([] { g_receiver.loop(); });
    std::atexit([] { g_receiver.stop(); });
}

}  // namespace

extern const Dialect kDialectStandalone;
const Dialect kDialectStandalone = {"standalone", 0, -1, 20, kNoCorePorts, kPort, init, nullptr, nullptr};
