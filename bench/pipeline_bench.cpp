// SPDX-License-Identifier: BSD-2-Clause
// Per-sentence cost of the receive pipeline: framing, date repair, interpretation, status and location files.
//
// A real capture streams through a pipe or a raw pseudo-terminal from a writer
// thread, as fast as the reader takes it; the files go below a simulation root
// on tmpfs. One iteration is one sentence handed out by nmea_next.
// GNSSD_BENCH_CAPTURE names another capture (for instance the 100000-line
// big.nmea); by default every capture of tests/data is replayed in turn.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nmea/datefix.h"
#include "nmea/interpret.h"
#include "nmea/reader.h"
#include "nmea/watchdog.h"
#include "outputs/files.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "receiver/link.h"

namespace {

std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The bytes to replay: the named capture, or all captures of the test data concatenated.
const std::string& capture()
{
    static const std::string bytes = [] {
        if (const char* named = std::getenv("GNSSD_BENCH_CAPTURE"))
            return read_all(named);
        std::vector<std::string> names;
        if (DIR* d = opendir(GNSSD_BENCH_DATA)) {
            while (const dirent* e = readdir(d)) {
                const std::string n = e->d_name;
                if (n.size() > 5 && n.compare(n.size() - 5, 5, ".nmea") == 0)
                    names.push_back(n);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        std::string all;
        for (const auto& n : names)
            all += read_all(std::string(GNSSD_BENCH_DATA) + "/" + n);
        return all;
    }();
    return bytes;
}

// One simulation root on tmpfs for the whole program (the daemon reads GNSSD_ROOT once).
struct BenchRoot {
    std::string path;
    BenchRoot()
    {
        if (const char* set = std::getenv("GNSSD_ROOT"); set && *set) {
            path = set;
            return;
        }
        char tmpl[] = "/dev/shm/gnssd-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            char alt[] = "/tmp/gnssd-bench-XXXXXX";
            if (!mkdtemp(alt))
                return;
            path = alt;
        } else {
            path = tmpl;
        }
        mkdir((path + "/run").c_str(), 0755);
        setenv("GNSSD_ROOT", path.c_str(), 1);
        owned = true;
    }
    ~BenchRoot()
    {
        if (!owned)
            return;
        for (const char* f : {"/run/stats.gps", "/run/loc.gps", "/run/stats.gps.tmp", "/run/loc.gps.tmp"})
            unlink((path + f).c_str());
        rmdir((path + "/run").c_str());
        rmdir(path.c_str());
    }
    bool owned = false;
};

BenchRoot& bench_root()
{
    static BenchRoot root;
    return root;
}

// The log mirror on standard error would measure the terminal, not the pipeline: silenced while
// a benchmark runs unless GNSSD_BENCH_LOG is set (syslog still gets every message).
struct QuietStderr {
    int saved = -1;
    QuietStderr()
    {
        if (std::getenv("GNSSD_BENCH_LOG"))
            return;
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0)
            return;
        saved = dup(STDERR_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~QuietStderr()
    {
        if (saved >= 0) {
            dup2(saved, STDERR_FILENO);
            close(saved);
        }
    }
};

// Writes the capture over and over into fd until stopped.
struct Writer {
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;
    int fd;
    explicit Writer(int wfd) : fd(wfd)
    {
        thread = std::thread([this] {
            const std::string& bytes = capture();
            while (!stop) {
                size_t at = 0;
                while (!stop && at < bytes.size()) {
                    const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
                    if (n <= 0)
                        break;
                    at += static_cast<size_t>(n);
                }
            }
            done = true;
        });
    }
    // Stops the writer, draining the reading end so that a blocked write returns; closes both ends.
    void finish(int rfd)
    {
        stop = true;
        fcntl(rfd, F_SETFL, O_NONBLOCK);
        char sink[4096];
        while (!done) {
            while (read(rfd, sink, sizeof sink) > 0) {
            }
            std::this_thread::yield();
        }
        thread.join();
        close(fd);
        close(rfd);
    }
};

enum class Feed { kPipe, kPty };

bool open_feed(Feed feed, int& rfd, int& wfd)
{
    if (feed == Feed::kPipe) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return false;
        fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
        rfd = p[0];
        wfd = p[1];
        return true;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return false;
    // Raw, as a receiver's serial port is set up: bytes pass unchanged.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    rfd = slave;
    wfd = master;
    return true;
}

void BM_Pipeline(benchmark::State& state, Feed feed)
{
    bench_root();
    if (capture().empty()) {
        state.SkipWithError("no capture to replay");
        return;
    }
    int rfd = -1;
    int wfd = -1;
    if (!open_feed(feed, rfd, wfd)) {
        state.SkipWithError("cannot open the feed");
        return;
    }
    auto* link = new ReceiverLink{};
    auto* st = new ReceiverState{};
    link->fd = rfd;
    link->rx_timeout = 30;
    link->date_fix_enabled = 1;
    link->watchdog_enabled = 1;
    link->watchdog_timeout = 3600;
    link->opened_at = monotonic_seconds();
    nmea_state_open(st, link);
    QuietStderr quiet;
    Writer writer(wfd);
    uint64_t bytes = 0;
    for (auto _ : state) {
        // As the main loop does it: the sentences of one read, then the files once.
        int n;
        for (;;) {
            while ((n = nmea_next(link)) > 0 && !nmea_interpret(st, link))
                nmea_consume(link);
            if (n > 0)
                break;
            nmea_files_update(st);
            if (location_watchdog(st, link) < 0 || nmea_read(link) < 0) {
                n = -1;
                break;
            }
        }
        if (n < 0) {
            state.SkipWithError("reader failed");
            break;
        }
        bytes += static_cast<uint64_t>(n);
        benchmark::DoNotOptimize(nmea_sentence(link)[0]);
        nmea_consume(link);
    }
    writer.finish(rfd);
    delete st;
    delete link;
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["ns_per_sentence"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1e-9,
                                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The same sentences without the feed: date repair and interpretation of pre-framed sentences,
// to tell the file writes and the framing apart.
void BM_InterpretOnly(benchmark::State& state)
{
    bench_root();
    std::vector<std::string> sentences;
    const std::string& bytes = capture();
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos)
            break;
        const std::string line = bytes.substr(at, end + 2 - at);
        at = end + 2;
        if (line[0] == '$' && line.find('*') != std::string::npos && line.size() < kRxBufferSize)
            sentences.push_back(line);
    }
    if (sentences.empty()) {
        state.SkipWithError("no capture to replay");
        return;
    }
    auto* link = new ReceiverLink{};
    auto* st = new ReceiverState{};
    link->date_fix_enabled = 1;
    nmea_state_open(st, link);
    size_t i = 0;
    QuietStderr quiet;
    for (auto _ : state) {
        const std::string& s = sentences[i];
        i = i + 1 == sentences.size() ? 0 : i + 1;
        std::memcpy(link->rx_buf, s.data(), s.size());
        link->rx_len = link->sentence_len = static_cast<int>(s.size());
        link->rx_buf[s.size()] = '\0';
        link->date_suspect = nmea_datefix(link) < 0 ? 1 : 0;
        benchmark::DoNotOptimize(nmea_interpret(st, link));
    }
    delete st;
    delete link;
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_sentence"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1e-9,
                                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(BM_Pipeline, pipe, Feed::kPipe)->UseRealTime();
BENCHMARK_CAPTURE(BM_Pipeline, pty, Feed::kPty)->UseRealTime();
BENCHMARK(BM_InterpretOnly);

}  // namespace

// Without sentences there is nothing to measure, and a run that says so must not pass as a result.
int main(int argc, char** argv)
{
    if (capture().empty()) {
        std::fprintf(stderr, "gnssd_bench: no capture to replay (GNSSD_BENCH_CAPTURE or %s)\n", GNSSD_BENCH_DATA);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
