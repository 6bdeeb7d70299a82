// SPDX-License-Identifier: BSD-2-Clause
// Test support shared by the end-to-end and receiver tests (see e2e.h).
#include "support/e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <gtest/gtest.h>

namespace th {

using namespace std::chrono_literals;

PtyReader::PtyReader(const std::string& path)
{
    fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    thread = std::thread([this] {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[16384];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            std::lock_guard lock(mutex);
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
}

PtyReader::~PtyReader()
{
    stop = true;
    if (thread.joinable())
        thread.join();
    if (fd >= 0)
        close(fd);
}

std::string PtyReader::text()
{
    std::lock_guard lock(mutex);
    return got;
}

std::size_t PtyReader::size()
{
    std::lock_guard lock(mutex);
    return got.size();
}

void SimServers::start(const std::string& d, const std::vector<std::string>& specs, int rcvbuf)
{
    dir = d;
    std::vector<std::string> argv{sim_bin(), "server", "--dir", dir};
    if (rcvbuf > 0) {
        argv.push_back("--rcvbuf");
        argv.push_back(std::to_string(rcvbuf));
    }
    argv.insert(argv.end(), specs.begin(), specs.end());
    proc.start(argv, {}, dir + "/server.out");
    for (const std::string& s : specs) {
        const std::size_t from = s.find(':') + 1;  // behind "tcp:", "udp6:"...
        const std::string name = s.substr(from, s.find(':', from) - from);
        ASSERT_TRUE(wait_until([&] { return file_exists(dir + "/" + name + ".port"); }, 10s)) << name;
    }
}

int SimServers::port(const std::string& name) const
{
    return std::atoi(read_file(dir + "/" + name + ".port").c_str());
}

std::string SimServers::data(const std::string& name) const
{
    return read_file(dir + "/" + name + ".data");
}

void SimServers::command(const std::string& text)
{
    const std::string log = dir + "/server.log";
    const int before = count_of(read_file(log), " ctl " + text + "\n");
    send_line(dir + "/control", text);
    ASSERT_TRUE(wait_until([&] { return count_of(read_file(log), " ctl " + text + "\n") > before; }, 5s));
}

SimServers::~SimServers()
{
    proc.stop(SIGTERM, 5s);
}

void start_router_sim(Process& sim, const std::string& root, const std::string& family,
                      const std::vector<std::string>& extra)
{
    std::vector<std::string> argv = {sim_bin(), "--root", root, "--family", family, "--outputs"};
    for (const char* on : {"MOD_GPS_ENABLED=1", "MOD_GPS_EP1_ENABLED=1"})
        argv.insert(argv.end(), {"--set", on});
    argv.insert(argv.end(), extra.begin(), extra.end());
    sim.start(argv, {}, root + "/sim.log");
    EXPECT_TRUE(wait_until([&] { return file_exists(root + "/sim/ready"); }, 10s)) << sim.log();
}

std::vector<std::string> sim_commands(const std::string& root)
{
    std::vector<std::string> out;
    for (std::string line : lines_of(read_file(root + "/sim/commands.log"))) {
        const std::size_t sp = line.find(' ');
        if (line.back() != '\n' || sp == std::string::npos)
            continue;
        line = line.substr(sp + 1, line.size() - sp - 2);
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\\r") == 0)
            line.resize(line.size() - 2);
        out.push_back(line);
    }
    return out;
}

int connect_unix(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_reply(int fd)
{
    std::string out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return out + "<timeout>";
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

std::string exchange(int fd, const std::string& text)
{
    if (!text.empty() && write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        close(fd);
        return "<short write>";
    }
    std::string reply = read_reply(fd);
    close(fd);
    return reply;
}

std::string ask(const std::string& root, const std::string& request)
{
    const int fd = connect_unix(root + "/run/gps.socket");
    if (fd < 0)
        return "<no connection>";
    if (request.empty())
        shutdown(fd, SHUT_WR);
    return exchange(fd, request);
}

void send_line(const std::string& fifo, const std::string& text)
{
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << fifo;
    const std::string line = text + "\n";
    EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
}

int bound_socket(int type, int backlog, int* port, bool any)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0))
        ADD_FAILURE() << "no socket on the loopback address: " << std::strerror(errno);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

int ToolRun::exit() const
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun run_tool(const std::string& root, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env)
{
    static std::atomic<int> runs{0};
    std::vector<std::string> argv = {daemon_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> all = env;
    all["GNSSD_ROOT"] = root;
    Process p;
    p.start(argv, all, root + "/stderr-" + std::to_string(++runs));
    EXPECT_TRUE(p.wait_exit(30s)) << "still running: " << args.at(0);
    return {p.status, p.log()};
}

std::string pid_text(int pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

int dead_pid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int st;
    waitpid(pid, &st, 0);
    return pid;
}

void run_side_by_side(const std::vector<Scenario>& scenarios)
{
    std::vector<std::thread> threads;
    threads.reserve(scenarios.size());
    for (const Scenario& s : scenarios)
        threads.emplace_back([&s] {
            SCOPED_TRACE(s.label);
            try {
                s.run();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "exception: " << e.what();
            } catch (...) {
                ADD_FAILURE() << "unknown exception";
            }
        });
    for (std::thread& t : threads)
        t.join();
}

::testing::AssertionResult has(const std::string& hay, const std::string& needle)
{
    if (hay.find(needle) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << needle << "\" in\n" << hay;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t nl = text.find('\n', pos);
        std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

std::string with_checksum(const std::string& body)
{
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

std::string first_difference(const std::string& got, const std::string& want, std::size_t width)
{
    if (got == want)
        return "";
    const std::vector<std::string> g = lines_of(got), w = lines_of(want);
    for (std::size_t i = 0; i < std::max(g.size(), w.size()); ++i) {
        const std::string a = i < g.size() ? g[i] : "(end)";
        const std::string b = i < w.size() ? w[i] : "(end)";
        if (a != b)
            return "line " + std::to_string(i + 1) + ": got \"" + a.substr(0, width) + "\", want \"" +
                   b.substr(0, width) + "\"";
    }
    return "same lines, different bytes";
}

}  // namespace th
