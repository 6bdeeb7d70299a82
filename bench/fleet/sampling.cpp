// SPDX-License-Identifier: BSD-2-Clause
// How many positions the fleet feed sends by distance and heading, and how
// far the track they draw strays from every cycle's position, on captures.
//
//   fleet_sampling CAPTURE.nmea...
//
// Each capture is read as the service reads a receiver; every RMC closes a
// cycle, whose fix time stands for the clock.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fleet/sampler.h"
#include "nmea/interpret.h"
#include "nmea/reader.h"
#include "receiver/link.h"

namespace {

struct Cycle {
    FleetPosition pos;
    long long ms;
};

struct Setting {
    const char* legend;
    FleetSampling sampling;
};

// Today's clock-only feed beside sending by distance and heading, with the
// period as the longest silence.
constexpr Setting kSettings[] = {
    {"every cycle", {0, 0, 1, 1}},
    {"clock 5 s / 60 s", {0, 0, 5, 60}},
    {"50 m / 15 deg, 60 s", {50, 15, 60, 300}},
    {"100 m / 30 deg, 60 s", {100, 30, 60, 300}},
    {"200 m / 45 deg, 120 s", {200, 45, 120, 600}},
};

std::vector<Cycle> read_capture(const char* path)
{
    std::vector<Cycle> cycles;
    auto* link = new ReceiverLink{};
    auto* st = new ReceiverState{};
    link->fd = open(path, O_RDONLY | O_CLOEXEC);
    link->rx_timeout = 1;
    if (link->fd < 0) {
        std::perror(path);
    } else {
        nmea_state_open(st, link);
        for (;;) {
            const int n = nmea_next(link);
            if (n <= 0) {
                if (nmea_read(link) < 0)
                    break;
                continue;
            }
            const bool rmc = nmea_is_rmc(nmea_sentence(link), static_cast<std::size_t>(n));
            nmea_interpret(st, link);
            nmea_consume(link);
            FleetPosition p;
            if (!rmc || !fleet_position(&st->report, static_cast<int>(st->moving), &p) || !(p.has & kFleetTime) ||
                !(p.has & kFleetLatLon))
                continue;
            const long long ms = p.epoch * 1000 + std::lround(std::atof(p.fraction[0] ? p.fraction : "0") * 1000);
            // A capture stitched from several: time going back starts over.
            if (!cycles.empty() && ms <= cycles.back().ms)
                continue;
            cycles.push_back({p, ms});
        }
        close(link->fd);
    }
    delete st;
    delete link;
    return cycles;
}

// Metres east and north of p from the reference point.
void local(const FleetPosition& ref, const FleetPosition& p, double* x, double* y)
{
    constexpr double kMetresPerDegree = 111195.08;
    *x = (p.lon - ref.lon) * kMetresPerDegree * std::cos(ref.lat * M_PI / 180);
    *y = (p.lat - ref.lat) * kMetresPerDegree;
}

// Distance of p from the segment a-b.
double off_segment(const FleetPosition& a, const FleetPosition& b, const FleetPosition& p)
{
    double bx, by, px, py;
    local(a, b, &bx, &by);
    local(a, p, &px, &py);
    const double len2 = bx * bx + by * by;
    double t = len2 > 0 ? (px * bx + py * by) / len2 : 0;
    t = t < 0 ? 0 : t > 1 ? 1 : t;
    return std::hypot(px - t * bx, py - t * by);
}

void measure(const char* name, const std::vector<Cycle>& cycles)
{
    const double hours = (cycles.back().ms - cycles.front().ms + 1000) / 3.6e6;
    int moving = 0;
    for (const Cycle& c : cycles)
        moving += c.pos.moving;
    for (const Setting& s : kSettings) {
        FleetSampler sampler{};
        std::vector<std::size_t> sent;
        for (std::size_t i = 0; i < cycles.size(); ++i)
            if (fleet_sampler_offer(&sampler, s.sampling, cycles[i].pos, cycles[i].ms) != FleetSend::no)
                sent.push_back(i);
        // Every cycle against the line between the sent positions around it;
        // after the last one sent, against that one.
        double worst = 0;
        std::size_t k = 0;
        for (std::size_t i = 0; i < cycles.size(); ++i) {
            while (k + 1 < sent.size() && sent[k + 1] <= i)
                ++k;
            const FleetPosition& a = cycles[sent[k]].pos;
            const FleetPosition& b = k + 1 < sent.size() ? cycles[sent[k + 1]].pos : a;
            worst = std::fmax(worst, off_segment(a, b, cycles[i].pos));
        }
        std::printf("| %s | %zu (%d moving) | %s | %.0f | %.0f | %.1f | %.1f |\n", name, cycles.size(), moving,
                    s.legend, static_cast<double>(sent.size()) / hours, static_cast<double>(cycles.size()) / hours,
                    static_cast<double>(cycles.size()) / static_cast<double>(sent.size()), worst);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CAPTURE.nmea...\n", argv[0]);
        return 2;
    }
    std::printf("| Capture | Cycles | Sending | Positions/h | Cycles/h | Fewer | Largest off track (m) |\n");
    std::printf("|---|---:|---|---:|---:|---:|---:|\n");
    for (int i = 1; i < argc; ++i) {
        const std::vector<Cycle> cycles = read_capture(argv[i]);
        const char* name = std::strrchr(argv[i], '/');
        if (cycles.size() < 2)
            std::fprintf(stderr, "%s: fewer than two positions with time\n", argv[i]);
        else
            measure(name ? name + 1 : argv[i], cycles);
    }
    return 0;
}
