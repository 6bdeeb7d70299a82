// SPDX-License-Identifier: BSD-2-Clause
// Flash written and memory taken by the fleet store over a simulated hour at 1 Hz, from /proc/self/io and
// /proc/self/status.
//
// Usage: store_bench [DIR]   (DIR on the file system to measure, not tmpfs;
// default: a fresh folder below the working directory). The store's time is
// driven by the simulated clock handed to every call, so the hour takes
// seconds; every write is real.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fleet/store.h"

namespace {

// One field of a /proc/self file of "name: value" lines, in its own unit.
long long proc_field(const char* file, const char* name)
{
    FILE* f = std::fopen(file, "r");
    if (!f)
        return -1;
    char line[256];
    long long v = -1;
    const std::size_t n = std::strlen(name);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, name, n) == 0 && line[n] == ':') {
            v = std::atoll(line + n + 1);
            break;
        }
    }
    std::fclose(f);
    return v;
}

long long written()
{
    return proc_field("/proc/self/io", "write_bytes") - proc_field("/proc/self/io", "cancelled_write_bytes");
}

// A position object as the fleet feed publishes it, about 200 bytes.
std::size_t position(unsigned n, char* buf, std::size_t size)
{
    const int len = std::snprintf(buf, size,
                                  "{\"seq\":%u,\"time\":\"2026-12-08T%02u:%02u:%02u.00Z\",\"lat\":48.117%03u,"
                                  "\"lon\":11.516%03u,\"alt\":545.4,\"speed\":41.48,\"course\":84.4,\"fix\":1,"
                                  "\"sats\":8,\"hdop\":0.9,\"moving\":true}",
                                  n, n / 3600 % 24, n / 60 % 60, n % 60, n % 1000, (n * 7) % 1000);
    return len > 0 ? static_cast<std::size_t>(len) : 0;
}

struct Figures {
    long long bytes;
    long long rss_kib;
    long long anon_kib;
    uint64_t pending;
    uint64_t file_bytes;
};

// One hour at 1 Hz with the defaults; connected: the backend takes every
// position as it comes. drained: afterwards the backlog goes at 20 a second.
Figures hour(const std::string& path, bool connected, uint64_t size_bytes, long long* drain_bytes)
{
    StoreConfig cfg{};
    std::snprintf(cfg.path, sizeof cfg.path, "%s", path.c_str());
    cfg.size_bytes = size_bytes;
    cfg.sync_ms = 5000;
    long long now = 1'000'000;
    const long long rss0 = proc_field("/proc/self/status", "VmRSS");
    const long long anon0 = proc_field("/proc/self/status", "RssAnon");
    FleetStore* st = store_open(&cfg, now);
    if (!st)
        std::exit(1);
    const long long before = written();
    char buf[512];
    for (unsigned i = 0; i < 3600; ++i, now += 1000) {
        const uint64_t seq = store_append(st, kStoreMqtt, buf, position(i, buf, sizeof buf), now);
        if (connected)
            store_done(st, kStoreMqtt, seq);
        store_tick(st, now);
    }
    Figures f{written() - before, proc_field("/proc/self/status", "VmRSS") - rss0,
              proc_field("/proc/self/status", "RssAnon") - anon0, store_status(st, now).pending,
              store_status(st, now).bytes};
    if (drain_bytes) {
        const long long start = written();
        StoreRecord r{};
        while (store_next(st, kStoreMqtt, 0, &r) == 1) {
            for (int k = 0; k < 20 && store_next(st, kStoreMqtt, 0, &r) == 1; ++k)
                store_done(st, kStoreMqtt, r.seq);
            now += 1000;
            store_tick(st, now);
        }
        *drain_bytes = written() - start;
    }
    store_close(st, now);
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dir;
    if (argc > 1) {
        dir = argv[1];
    } else {
        char tmpl[] = "store-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    }
    if (written() < 0) {
        std::fprintf(stderr, "store_bench: /proc/self/io cannot be read\n");
        return 1;
    }
    long long drain = 0;
    const std::string path = dir + "/fleet.db";
    const Figures outage = hour(path, false, 8192 * 1024, &drain);
    const Figures connected = hour(path, true, 8192 * 1024, nullptr);
    const Figures memory = hour(path, false, 0, nullptr);
    std::printf("fleet store, one hour at 1 Hz, 3600 positions of about 200 bytes, commits every 5 s\n");
    std::printf(
        "outage:    %lld bytes written to flash (%.2f MB/h), %llu pending, files %llu bytes, RSS +%lld KiB "
        "(+%lld KiB anonymous)\n",
        outage.bytes, outage.bytes / 1e6, static_cast<unsigned long long>(outage.pending),
        static_cast<unsigned long long>(outage.file_bytes), outage.rss_kib, outage.anon_kib);
    std::printf("drain:     %lld bytes written while the backlog went at 20/s\n", drain);
    std::printf("connected: %lld bytes written to flash, %llu pending\n", connected.bytes,
                static_cast<unsigned long long>(connected.pending));
    std::printf("memory:    %lld bytes written (SIZE 0), %llu pending, RSS +%lld KiB (+%lld KiB anonymous)\n",
                memory.bytes, static_cast<unsigned long long>(memory.pending), memory.rss_kib, memory.anon_kib);
    std::remove(path.c_str());
    if (argc <= 1)
        rmdir(dir.c_str());
    return 0;
}
