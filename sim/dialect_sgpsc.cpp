// SPDX-License-Identifier: BSD-2-Clause
// Simulated AT^SGPSC module (PLS8, PLS83 and relatives).
//
// Options: identity=TEXT (the ATI answer, default "PLS83-W"), antenna=on|off
// (the antenna supply before the first start, default off).
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "sim.h"

namespace {

const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", "/dev/ttyUSB9", nullptr};
constexpr const char* kControl = "/dev/ttyUSB8";
constexpr std::string_view kCommand = "AT^SGPSC=";

// A PLS83 sends NMEA on ttyUSB9, every other member on ttyUSB7; the identity
// option decides which before the core first streams.
char g_data_port[16] = "/dev/ttyUSB7";

struct State {
    std::mutex mutex;
    std::string identity;
    std::map<std::string, std::string> values;  // setting name -> value, unquoted
};
State g_state;

bool accepted(ScriptAction action)
{
    return action == ScriptAction::Default || action == ScriptAction::Accept || action == ScriptAction::Slow;
}

// Splits `"Name","value"` (value optional) into its two texts.
bool split_args(std::string_view args, std::string& name, std::string& value, bool& has_value)
{
    if (args.size() < 2 || args.front() != '"')
        return false;
    std::size_t close = args.find('"', 1);
    if (close == std::string_view::npos)
        return false;
    name = std::string(args.substr(1, close - 1));
    std::string_view rest = args.substr(close + 1);
    has_value = !rest.empty();
    if (!has_value)
        return true;
    if (rest.size() < 3 || rest[0] != ',' || rest[1] != '"' || rest.back() != '"')
        return false;
    value = std::string(rest.substr(2, rest.size() - 3));
    return true;
}

void init(Sim* sim)
{
    std::lock_guard lock(g_state.mutex);
    g_state.identity = sim_option(sim, "identity", "PLS83-W");
    if (g_state.identity.find("PLS83") != std::string::npos)
        std::strcpy(g_data_port, "/dev/ttyUSB9");
    g_state.values = {
        {"Engine", "0"},        {"Power/Antenna", sim_option(sim, "antenna", "off")},
        {"Power/Psm", "0"},     {"Power/Odm", "1"},
        {"Nmea/Output", "off"}, {"Nmea/Interface", "usb1"},
        {"Nmea/GPS", "off"},    {"Nmea/Freq", "2"},
    };
}

void on_line(Sim* sim, const char* port, std::string_view line)
{
    if (std::strcmp(port, kControl) != 0 || line.empty())
        return;
    std::lock_guard lock(g_state.mutex);
    if (line == "AT" || line == "ATE0" || line == "ATE1") {
        sim_answer(sim, port, line, "\r\nOK\r\n");
        return;
    }
    if (line == "ATI") {
        sim_answer(sim, port, line, "\r\n" + g_state.identity + "\r\nREVISION 01.000\r\n\r\nOK\r\n");
        return;
    }
    std::string name, value;
    bool has_value = false;
    if (line.substr(0, kCommand.size()) != kCommand ||
        !split_args(line.substr(kCommand.size()), name, value, has_value) || !g_state.values.count(name)) {
        sim_answer(sim, port, line, "\r\nERROR\r\n");
        return;
    }
    if (!has_value) {
        sim_answer(sim, port, line, "\r\n^SGPSC: \"" + name + "\",\"" + g_state.values[name] + "\"\r\n\r\nOK\r\n");
        return;
    }
    if (!accepted(sim_answer(sim, port, line, "\r\n^SGPSC: \"" + name + "\",\"" + value + "\"\r\n\r\nOK\r\n")))
        return;
    g_state.values[name] = value;
    sim_event(sim, "sgpsc " + name + "=" + value);
    bool running = g_state.values["Engine"] == "1" && g_state.values["Nmea/Output"] == "on";
    if (name == "Engine" || name == "Nmea/Output")
        sim_stream(sim, running);
}

}  // namespace

extern const Dialect kDialectSgpsc;
const Dialect kDialectSgpsc = {
    "sgpsc", 0x1E2D0061, 3, -1, kPorts, g_data_port, init, on_line, nullptr,
};
