// SPDX-License-Identifier: BSD-2-Clause
// Simulated $GPS_START module: its one port streams once it reads "$GPS_START", stops on "$GPS_STOP".
#include <string>

#include "sim.h"

namespace {

const char* const kPorts[] = {"/dev/ttyUSB9", nullptr};
constexpr const char* kDataPort = "/dev/ttyUSB9";

// The switch texts come without a line end, possibly split over reads:
// match them in a short window of the latest bytes.
std::string g_window;

void init(Sim*)
{
    g_window.clear();
}

void on_bytes(Sim* sim, const char* port, std::string_view bytes)
{
    if (std::string_view(port) != kDataPort)
        return;
    sim_stream_switch(sim, g_window, bytes);
}

}  // namespace

extern const Dialect kDialectGpsStart;
const Dialect kDialectGpsStart = {"gpsstart", 0x1410A021, 6, -1, kPorts, kDataPort, init, nullptr, on_bytes};
