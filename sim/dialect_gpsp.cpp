// SPDX-License-Identifier: BSD-2-Clause
// Simulated AT$GPSP module: control on ttyUSB8 (product 1031) or ttyUSB10 (1070, 1071), NMEA on ttyUSB7.
//
// Both control ports exist, so one dialect plays every product; choose the
// product with --usb 1bc7:1070. Option mwan=TEXT writes TEXT as the mobile WAN
// state ("/run/ppp/iface-m0.state"; no option: no file). The engine streams
// once "AT$GPSP=1" was accepted and stops at an accepted "AT$GPSP=0".
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "sim.h"

namespace {

const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", "/dev/ttyUSB10", nullptr};

// Commands the module knows; everything else is refused.
constexpr const char* kKnown[] = {
    "AT",
    "ATE0",
    "AT#LOCNMEATYPE=1,134217215",
    "AT$GPSNMUN=2,1,0,0,0,1,0",
    "AT$GPSAT=1",
    "AT$GPSAT=0",
    "AT$GPSANTPORT=3",
    "AT$GPSP=1",
    "AT$GPSP=0",
    "AT$GPSR=3",
    "AT$GPSNVRAM=15,0",
};

std::mutex g_mutex;

bool accepted(ScriptAction action)
{
    return action == ScriptAction::Default || action == ScriptAction::Accept || action == ScriptAction::Slow;
}

void init(Sim* sim)
{
    const std::string state = sim_root(sim) + "/run/ppp/iface-m0.state";
    std::remove(state.c_str());
    const std::string mwan = sim_option(sim, "mwan", "");
    if (!mwan.empty()) {
        std::ofstream out(state, std::ios::trunc);
        out << mwan << "\n";
    }
}

void on_line(Sim* sim, const char* port, std::string_view line)
{
    if ((std::strcmp(port, "/dev/ttyUSB8") != 0 && std::strcmp(port, "/dev/ttyUSB10") != 0) || line.empty())
        return;
    std::lock_guard lock(g_mutex);
    bool known = false;
    for (const char* k : kKnown)
        known = known || line == k;
    if (!known) {
        sim_answer(sim, port, line, "\r\nERROR\r\n");
        return;
    }
    const ScriptAction action = sim_answer(sim, port, line, "\r\nOK\r\n");
    if (line == "AT$GPSP=1" && accepted(action))
        sim_stream(sim, true);
    else if (line == "AT$GPSP=0" && accepted(action))
        sim_stream(sim, false);
}

}  // namespace

extern const Dialect kDialectGpsp;
const Dialect kDialectGpsp = {"gpsp", 0x1BC71031, 0, -1, kPorts, "/dev/ttyUSB7", init, on_line, nullptr};
