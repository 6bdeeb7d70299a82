// SPDX-License-Identifier: BSD-2-Clause
// Simulated AT+GTGPSPOWER module: control on ttyUSB7, NMEA on ttyUSB9.
#include <cstring>
#include <mutex>

#include "sim.h"

namespace {

const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB9", nullptr};
constexpr const char* kControl = "/dev/ttyUSB7";

// NMEA flows while both the GNSS power and the NMEA output are on.
struct State {
    std::mutex mutex;
    bool power = false;
    bool nmea = false;
};
State g_state;

bool accepted(ScriptAction action)
{
    return action == ScriptAction::Default || action == ScriptAction::Accept || action == ScriptAction::Slow;
}

void on_line(Sim* sim, const char* port, std::string_view line)
{
    if (std::strcmp(port, kControl) != 0 || line.empty())
        return;
    std::lock_guard lock(g_state.mutex);
    bool was = g_state.power && g_state.nmea;
    if (line == "AT+GTGPSPOWER=1" || line == "AT+GTGPSPOWER=0") {
        if (accepted(sim_answer(sim, port, line, "\r\nOK\r\n")))
            g_state.power = line.back() == '1';
    } else if (line == "AT+GTSET=\"NMEAEN\",1" || line == "AT+GTSET=\"NMEAEN\",0") {
        if (accepted(sim_answer(sim, port, line, "\r\nOK\r\n")))
            g_state.nmea = line.back() == '1';
    } else if (line == "AT+GTGPSPOWER?") {
        sim_answer(sim, port, line,
                   g_state.power ? "\r\n+GTGPSPOWER: 1\r\n\r\nOK\r\n" : "\r\n+GTGPSPOWER: 0\r\n\r\nOK\r\n");
    } else if (line == "AT" || line == "ATE0" || line == "ATE1") {
        sim_answer(sim, port, line, "\r\nOK\r\n");
    } else {
        sim_answer(sim, port, line, "\r\nERROR\r\n");
    }
    bool now = g_state.power && g_state.nmea;
    if (now != was) {
        sim_event(sim, now ? "gtgps nmea on" : "gtgps nmea off");
        sim_stream(sim, now);
    }
}

}  // namespace

extern const Dialect kDialectGtgps;
const Dialect kDialectGtgps = {"gtgps", 0x2CB70104, 0, -1, kPorts, "/dev/ttyUSB9", nullptr, on_line, nullptr};
