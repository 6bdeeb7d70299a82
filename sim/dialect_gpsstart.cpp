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
    g_window.append(bytes);
    for (;;) {
        const std::size_t start = g_window.find("$GPS_START");
        const std::size_t stop = g_window.find("$GPS_STOP");
        if (start == std::string::npos && stop == std::string::npos)
            break;
        if (start < stop) {
            sim_stream(sim, true);
            g_window.erase(0, start + 10);
        } else {
            sim_stream(sim, false);
            g_window.erase(0, stop + 9);
        }
    }
    // Keep only what could be the start of a switch text.
    if (g_window.size() > 16)
        g_window.erase(0, g_window.size() - 16);
}

} // namespace

extern const Dialect kDialectGpsStart;
const Dialect kDialectGpsStart = {"gpsstart", 0x1410A021, 6, -1, kPorts, kDataPort, init, nullptr, on_bytes};
