// SPDX-License-Identifier: BSD-2-Clause
// Router simulator core: the module's ports as pseudo-terminals, the NMEA stream, the control FIFO.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_core.h"

namespace {

// A paced stream that nobody reads is lost beyond this, as on a real line.
constexpr std::size_t kPacedBacklog = 256 * 1024;
// Fast replay keeps this much queued so the port never runs dry.
constexpr std::size_t kFastChunk = 64 * 1024;
// How often a port nobody holds open is looked at again.
constexpr int64_t kHupRecheckMs = 20;
constexpr std::size_t kMaxLine = 4096;

volatile sig_atomic_t g_stop = 0;

void on_stop(int)
{
    g_stop = 1;
}

std::string path_in_root(const Sim* sim, const std::string& router_path)
{
    return sim->cfg.root + router_path;
}

std::string sim_file(const Sim* sim, const char* name)
{
    return sim->cfg.root + "/sim/" + name;
}

void write_all(int fd, std::string_view text)
{
    while (fd >= 0 && !text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Text of received bytes for commands.log: line ends and anything not
// printable escaped, so that one record stays one line.
std::string escape(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (u < 0x20 || u >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else
            out.push_back(c);
    }
    return out;
}

void log_record(Sim* sim, const SimPort& port, std::string_view bytes)
{
    std::string line = std::to_string(sim_now_ms()) + " " + port.path + " " + escape(bytes) + "\n";
    write_all(sim->cmdlog_fd, line);
}

SimPort* find_port(Sim* sim, const char* path)
{
    if (path == nullptr)
        return nullptr;
    for (SimPort& p : sim->ports)
        if (p.path == path)
            return &p;
    return nullptr;
}

// Creates the pseudo-terminal of a port and links its slave into the root.
bool port_create(Sim* sim, SimPort* port)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "gnssd-sim: pseudo-terminal: %s\n", std::strerror(errno));
        if (master >= 0)
            close(master);
        return false;
    }
    char slave[128];
    if (ptsname_r(master, slave, sizeof slave) != 0) {
        close(master);
        return false;
    }
    // A module port carries bytes unchanged: no echo, no line editing, no
    // "\r" to "\n" mapping. The settings stay with the terminal after this
    // descriptor is closed.
    int s = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s >= 0) {
        struct termios tio;
        if (tcgetattr(s, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(s, TCSANOW, &tio);
        }
        close(s);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const std::string link = path_in_root(sim, port->path);
    unlink(link.c_str());
    if (symlink(slave, link.c_str()) != 0) {
        std::fprintf(stderr, "gnssd-sim: symlink %s: %s\n", link.c_str(), std::strerror(errno));
        close(master);
        return false;
    }
    port->master = master;
    port->hup = true;  // until someone opens the slave
    port->queue.clear();
    port->queued = 0;
    port->line.clear();
    port->record.clear();
    return true;
}

void port_remove(Sim* sim, SimPort* port)
{
    if (port->master >= 0)
        close(port->master);
    port->master = -1;
    port->queue.clear();
    port->queued = 0;
    unlink(path_in_root(sim, port->path).c_str());
}

void unplug(Sim* sim)
{
    for (SimPort& p : sim->ports)
        if (!p.output)
            port_remove(sim, &p);
    sim->unplugged = true;
}

void plug(Sim* sim)
{
    sim->replug_at = -1;
    if (!sim->unplugged)
        return;
    for (SimPort& p : sim->ports)
        if (!p.output)
            port_create(sim, &p);
    sim->unplugged = false;
}

void enqueue(SimPort* port, std::string bytes, int64_t at_ms = 0)
{
    if (port->master < 0 || bytes.empty())
        return;
    port->queued += bytes.size();
    port->queue.push_back(SimPort::Chunk{at_ms, std::move(bytes), 0});
}

// A slave that was held open has been closed: what the reader did not take
// is lost, as on a real line.
void mark_hup(SimPort* port)
{
    if (!port->hup) {
        port->queue.clear();
        port->queued = 0;
    }
    port->hup = true;
}

void deliver_lines(Sim* sim, SimPort* port, std::string_view bytes)
{
    if (sim->dialect->on_bytes != nullptr)
        sim->dialect->on_bytes(sim, port->path.c_str(), bytes);
    for (char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!port->line.empty() && sim->dialect->on_line != nullptr) {
                std::string line;
                line.swap(port->line);
                sim->dialect->on_line(sim, port->path.c_str(), line);
            }
            port->line.clear();
        } else if (port->line.size() < kMaxLine) {
            port->line.push_back(c);
        }
    }
}

// One record per line end (a run of "\r"/"\n" closes it) and one for bytes
// left at the end of a read, such as a "$GPS_START" without a line end.
void record_input(Sim* sim, SimPort* port, std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        port->record.push_back(bytes[i]);
        const bool end = bytes[i] == '\r' || bytes[i] == '\n';
        const bool more_end = i + 1 < bytes.size() && (bytes[i + 1] == '\r' || bytes[i + 1] == '\n');
        if (end && !more_end) {
            log_record(sim, *port, port->record);
            port->record.clear();
        }
    }
    if (!port->record.empty()) {
        log_record(sim, *port, port->record);
        port->record.clear();
    }
}

void port_read(Sim* sim, SimPort* port)
{
    char buf[16384];
    for (;;) {
        if (port->master < 0)
            return;
        ssize_t n = read(port->master, buf, sizeof buf);
        if (n > 0) {
            port->hup = false;
            std::string_view bytes(buf, static_cast<std::size_t>(n));
            if (port->output) {
                write_all(port->out_fd, bytes);
            } else {
                record_input(sim, port, bytes);
                deliver_lines(sim, port, bytes);
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            port->hup = false;
            return;
        }
        // EIO: nobody holds the slave open. Keep the master and wait for
        // the next opener.
        mark_hup(port);
        return;
    }
}

void port_flush(SimPort* port, int64_t now)
{
    while (port->master >= 0 && !port->hup && !port->queue.empty()) {
        SimPort::Chunk& c = port->queue.front();
        if (c.at_ms > now)
            return;
        ssize_t n = write(port->master, c.bytes.data() + c.off, c.bytes.size() - c.off);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EIO)
                mark_hup(port);
            return;
        }
        c.off += static_cast<std::size_t>(n);
        port->queued -= static_cast<std::size_t>(n);
        if (c.off == c.bytes.size())
            port->queue.pop_front();
        else
            return;  // the pseudo-terminal is full
    }
}

SimPort* data_port(Sim* sim)
{
    return find_port(sim, sim->dialect->data_port);
}

bool can_stream(Sim* sim, SimPort** port)
{
    *port = data_port(sim);
    return sim->streaming && !sim->silent && !sim->unplugged && *port != nullptr && (*port)->master >= 0 &&
           !(*port)->hup;
}

void stream_tick(Sim* sim, int64_t now)
{
    SimPort* port = nullptr;
    if (sim->cfg.fast) {
        if (!can_stream(sim, &port) || sim->source.ended || port->queued >= kFastChunk)
            return;
        std::string out;
        source_bulk(&sim->source, &out, kFastChunk);
        enqueue(port, std::move(out));
    } else {
        if (now < sim->next_cycle_ms)
            return;
        const int64_t period = 1000 / sim->cfg.rate;
        sim->next_cycle_ms = std::max(sim->next_cycle_ms + period, now - period);
        if (!can_stream(sim, &port) || sim->source.ended || port->queued >= kPacedBacklog)
            return;
        std::string out;
        source_cycle(&sim->source, &out);
        enqueue(port, std::move(out));
    }
    if (sim->source.ended)
        sim_event(sim, "capture end");
}

void inject(Sim* sim, std::string bytes)
{
    SimPort* port = data_port(sim);
    if (port != nullptr)
        enqueue(port, std::move(bytes));
}

void control(Sim* sim, std::string_view word)
{
    if (word.empty())
        return;
    sim_event(sim, std::string("ctl ") + std::string(word));
    if (word == "silent") {
        sim->silent = true;
    } else if (word == "resume") {
        sim->silent = false;
    } else if (word == "unplug") {
        unplug(sim);
    } else if (word == "plug") {
        plug(sim);
    } else if (word == "garbage") {
        inject(sim, std::string("\xff\xfe#noise\x01\x7f garbage without a sentence start\r\n"));
    } else if (word == "nul") {
        inject(sim, std::string(16, '\0'));
    } else if (word == "rollover") {
        sim->source.rollover = true;
    } else if (word == "quit") {
        sim->quit = true;
    } else {
        sim_event(sim, std::string("unknown control word ") + std::string(word));
    }
}

void read_control(Sim* sim, std::string* pending)
{
    char buf[512];
    ssize_t n;
    while ((n = read(sim->ctl_fd, buf, sizeof buf)) > 0)
        pending->append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = pending->find('\n')) != std::string::npos) {
        std::string word = pending->substr(0, nl);
        pending->erase(0, nl + 1);
        while (!word.empty() && (word.back() == '\r' || word.back() == ' '))
            word.pop_back();
        control(sim, word);
    }
}

bool open_files(Sim* sim)
{
    const std::string ctl = sim_file(sim, "ctl");
    unlink(ctl.c_str());
    if (mkfifo(ctl.c_str(), 0600) != 0) {
        std::fprintf(stderr, "gnssd-sim: mkfifo %s: %s\n", ctl.c_str(), std::strerror(errno));
        return false;
    }
    // Opened for writing too, so that the FIFO never reports end of file
    // between two writers.
    sim->ctl_fd = open(ctl.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    sim->cmdlog_fd = open(sim_file(sim, "commands.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    sim->events_fd = open(sim_file(sim, "events.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return sim->ctl_fd >= 0 && sim->cmdlog_fd >= 0 && sim->events_fd >= 0;
}

bool create_ports(Sim* sim)
{
    for (const char* const* p = sim->dialect->ports; p != nullptr && *p != nullptr; ++p) {
        SimPort port;
        port.path = *p;
        sim->ports.push_back(port);
    }
    if (sim->cfg.outputs) {
        for (const char* path : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"}) {
            // Where the receiver itself sits on a serial port (ttyS1 of the
            // stand-alone receiver), that port is the module's, not an output.
            if (find_port(sim, path) != nullptr ||
                (sim->dialect->data_port != nullptr && std::strcmp(sim->dialect->data_port, path) == 0))
                continue;
            SimPort port;
            port.path = path;
            port.output = true;
            port.out_file = sim_file(sim, (std::string("out-") + (std::strrchr(path, '/') + 1)).c_str());
            port.out_fd = open(port.out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            sim->ports.push_back(port);
        }
    }
    for (SimPort& p : sim->ports)
        if (!port_create(sim, &p))
            return false;
    return true;
}

void shut_down(Sim* sim)
{
    unlink(sim_file(sim, "ready").c_str());
    for (SimPort& p : sim->ports) {
        port_remove(sim, &p);
        if (p.out_fd >= 0)
            close(p.out_fd);
    }
    unlink(sim_file(sim, "ctl").c_str());
    unlink(sim_file(sim, "pid").c_str());
}

}  // namespace

int64_t sim_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// --- services for the dialects ------------------------------------------------

void sim_send(Sim* sim, const char* port, std::string_view text)
{
    SimPort* p = find_port(sim, port);
    if (p != nullptr)
        enqueue(p, std::string(text));
}

ScriptAction sim_answer(Sim* sim, const char* port, std::string_view command, std::string_view default_reply)
{
    ScriptEntry* entry = nullptr;
    for (ScriptEntry& e : sim->script)
        if (e.command == command)
            entry = &e;
    if (entry == nullptr) {
        for (ScriptEntry& e : sim->script) {
            if (!e.command.empty() && e.command.back() == '*' &&
                command.substr(0, e.command.size() - 1) ==
                    std::string_view(e.command).substr(0, e.command.size() - 1)) {
                entry = &e;
                break;
            }
        }
    }
    if (entry == nullptr || entry->replies.empty()) {
        sim_send(sim, port, default_reply);
        return ScriptAction::Default;
    }
    const ScriptReply& r = entry->replies[std::min(entry->used, entry->replies.size() - 1)];
    ++entry->used;
    switch (r.action) {
    case ScriptAction::Accept:
        sim_send(sim, port, "\r\nOK\r\n");
        break;
    case ScriptAction::Refuse:
        sim_send(sim, port, "\r\nERROR\r\n");
        break;
    case ScriptAction::Text:
        sim_send(sim, port, r.text);
        break;
    case ScriptAction::Slow: {
        SimPort* p = find_port(sim, port);
        const std::string_view reply = r.text.empty() ? default_reply : std::string_view(r.text);
        const int64_t now = sim_now_ms();
        for (std::size_t i = 0; p != nullptr && i < reply.size(); ++i)
            enqueue(p, std::string(1, reply[i]), now + static_cast<int64_t>(i + 1) * r.delay_ms);
        break;
    }
    case ScriptAction::Silent:
    case ScriptAction::Default:
        break;
    }
    return r.action;
}

void sim_stream(Sim* sim, bool on)
{
    if (sim->streaming == on)
        return;
    sim_event(sim, on ? "stream on" : "stream off");
    sim->streaming = on;
    if (on)
        sim->next_cycle_ms = sim_now_ms();
}

void sim_stream_switch(Sim* sim, std::string& window, std::string_view bytes)
{
    window.append(bytes);
    for (;;) {
        const std::size_t start = window.find("$GPS_START");
        const std::size_t stop = window.find("$GPS_STOP");
        if (start == std::string::npos && stop == std::string::npos)
            break;
        if (start < stop) {
            sim_stream(sim, true);
            window.erase(0, start + 10);
        } else {
            sim_stream(sim, false);
            window.erase(0, stop + 9);
        }
    }
    if (window.size() > 16)
        window.erase(0, window.size() - 16);
}

void sim_replug(Sim* sim, int delay_ms)
{
    sim_event(sim, "replug");
    unplug(sim);
    sim->replug_at = sim_now_ms() + delay_ms;
}

std::string sim_option(Sim* sim, const char* key, const char* fallback)
{
    auto it = sim->cfg.options.find(key);
    return it != sim->cfg.options.end() ? it->second : std::string(fallback != nullptr ? fallback : "");
}

const std::string& sim_root(Sim* sim)
{
    return sim->cfg.root;
}

void sim_event(Sim* sim, std::string_view what)
{
    write_all(sim->events_fd, std::to_string(sim_now_ms()) + " " + std::string(what) + "\n");
}

// --- the simulator --------------------------------------------------------------

int sim_run(Sim* sim)
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t block, waitmask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &waitmask);
    sigdelset(&waitmask, SIGTERM);
    sigdelset(&waitmask, SIGINT);

    if (!sim_layout(sim) || !open_files(sim))
        return 1;
    if (!sim->cfg.capture.empty() && !source_load_capture(&sim->source, sim->cfg.capture, sim->cfg.loop))
        return 1;
    if (!create_ports(sim)) {
        shut_down(sim);
        return 1;
    }
    tools_install_snmp(sim);
    if (sim->dialect->init != nullptr)
        sim->dialect->init(sim);

    FILE* pid = std::fopen(sim_file(sim, "pid").c_str(), "w");
    if (pid != nullptr) {
        std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
        std::fclose(pid);
    }
    FILE* ready = std::fopen(sim_file(sim, "ready").c_str(), "w");
    if (ready != nullptr) {
        std::fprintf(ready, "%s\n", sim->dialect->name);
        std::fclose(ready);
    }
    sim_event(sim, std::string("ready ") + sim->dialect->name);

    std::string ctl_pending;
    std::vector<struct pollfd> fds;
    std::vector<SimPort*> polled;
    while (!g_stop && !sim->quit) {
        int64_t now = sim_now_ms();
        if (sim->replug_at >= 0 && now >= sim->replug_at)
            plug(sim);
        stream_tick(sim, now);
        for (SimPort& p : sim->ports)
            port_flush(&p, now);

        fds.clear();
        polled.clear();
        fds.push_back({sim->ctl_fd, POLLIN, 0});
        int64_t wake = now + 1000;
        bool recheck = false;
        for (SimPort& p : sim->ports) {
            if (p.master < 0)
                continue;
            if (p.hup) {
                // A master without a slave reports hang-up at once: look
                // again a little later instead of spinning on it.
                recheck = true;
                continue;
            }
            short events = POLLIN;
            if (!p.queue.empty()) {
                if (p.queue.front().at_ms <= now)
                    events |= POLLOUT;
                else
                    wake = std::min(wake, p.queue.front().at_ms);
            }
            fds.push_back({p.master, events, 0});
            polled.push_back(&p);
        }
        if (recheck)
            wake = std::min(wake, now + kHupRecheckMs);
        if (sim->streaming && !sim->cfg.fast)
            wake = std::min(wake, sim->next_cycle_ms);
        SimPort* stream_port = nullptr;
        if (sim->cfg.fast && can_stream(sim, &stream_port) && !sim->source.ended && stream_port->queue.empty())
            wake = now;  // the port took everything: refill at once
        if (sim->replug_at >= 0)
            wake = std::min(wake, sim->replug_at);
        const int64_t wait_ms = std::max<int64_t>(0, wake - now);
        struct timespec ts = {static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000};
        int rc = ppoll(fds.data(), fds.size(), &ts, &waitmask);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0 && (fds[0].revents & POLLIN))
            read_control(sim, &ctl_pending);
        for (std::size_t i = 1; rc > 0 && i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                port_read(sim, polled[i - 1]);
        if (recheck)
            for (SimPort& p : sim->ports)
                if (p.master >= 0 && p.hup)
                    port_read(sim, &p);
    }
    sim_event(sim, "stopped");
    shut_down(sim);
    return 0;
}
