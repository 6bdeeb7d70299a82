// SPDX-License-Identifier: BSD-2-Clause
// Simulated AT+QGPSCFG module.
//
// Options: one per GNSS setting with its current value (outport=usbnmea,
// nmeasrc=1, gpsnmeatype=31, glonassnmeatype=7, galileonmeatype=0,
// beidounmeatype=0, gnssconfig=1 are the defaults: a module set up as the
// service needs it); beidou_name=pqnmeatype plays the firmware that reports
// that setting under the other name; restart_ms=N is how long a restart keeps
// the ports away (default 2000).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "sim.h"

namespace {

const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", nullptr};
constexpr const char* kControl = "/dev/ttyUSB8";
constexpr std::string_view kCfg = "AT+QGPSCFG=";

struct Setting {
    const char* name;
    const char* initial;
};
constexpr Setting kSettings[] = {
    {"outport", "usbnmea"},   {"nmeasrc", "1"},        {"gpsnmeatype", "31"}, {"glonassnmeatype", "7"},
    {"galileonmeatype", "0"}, {"beidounmeatype", "0"}, {"gnssconfig", "1"},   {"autogps", "0"},
};

// Settings survive a restart, as in the module's non-volatile memory.
struct State {
    std::mutex mutex;
    std::map<std::string, std::string> values;
    std::string beidou_name;
    int restart_ms = 2000;
};
State g_state;

bool accepted(ScriptAction action)
{
    return action == ScriptAction::Default || action == ScriptAction::Accept || action == ScriptAction::Slow;
}

std::string unquote(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    return std::string(text);
}

// Text values are reported in quotes, numbers bare.
std::string report(const std::string& name, const std::string& value)
{
    bool number = !value.empty() && std::isdigit(static_cast<unsigned char>(value[0]));
    std::string shown = name == "beidounmeatype" ? g_state.beidou_name : name;
    return "\r\n+QGPSCFG: \"" + shown + "\"," + (number ? value : "\"" + value + "\"") + "\r\n\r\nOK\r\n";
}

void init(Sim* sim)
{
    std::lock_guard lock(g_state.mutex);
    for (const Setting& s : kSettings)
        g_state.values[s.name] = sim_option(sim, s.name, s.initial);
    g_state.beidou_name = sim_option(sim, "beidou_name", "beidounmeatype");
    g_state.restart_ms = std::atoi(sim_option(sim, "restart_ms", "2000").c_str());
}

void configure(Sim* sim, const char* port, std::string_view line)
{
    std::string_view args = line.substr(kCfg.size());
    std::size_t comma = args.find(',');
    std::string name = unquote(args.substr(0, comma));
    if (!g_state.values.count(name)) {
        sim_answer(sim, port, line, "\r\n+CME ERROR: 3\r\n");
        return;
    }
    if (comma == std::string_view::npos) {
        sim_answer(sim, port, line, report(name, g_state.values[name]));
        return;
    }
    std::string value = unquote(args.substr(comma + 1));
    if (accepted(sim_answer(sim, port, line, "\r\nOK\r\n"))) {
        g_state.values[name] = value;
        sim_event(sim, "qgps " + name + "=" + value);
    }
}

void on_line(Sim* sim, const char* port, std::string_view line)
{
    if (std::strcmp(port, kControl) != 0 || line.empty())
        return;
    std::lock_guard lock(g_state.mutex);
    if (line.substr(0, kCfg.size()) == kCfg) {
        configure(sim, port, line);
    } else if (line == "AT+QGPS=1") {
        if (accepted(sim_answer(sim, port, line, "\r\nOK\r\n")))
            sim_stream(sim, true);
    } else if (line == "AT+QGPSEND") {
        if (accepted(sim_answer(sim, port, line, "\r\nOK\r\n")))
            sim_stream(sim, false);
    } else if (line == "AT+CFUN=1,1") {
        if (accepted(sim_answer(sim, port, line, "\r\nOK\r\n"))) {
            sim_stream(sim, false);
            sim_event(sim, "qgps restart");
            sim_replug(sim, g_state.restart_ms);
        }
    } else if (line == "AT" || line == "ATE0" || line == "ATE1") {
        sim_answer(sim, port, line, "\r\nOK\r\n");
    } else {
        sim_answer(sim, port, line, "\r\nERROR\r\n");
    }
}

}  // namespace

extern const Dialect kDialectQgps;
const Dialect kDialectQgps = {"qgps", 0x2C7C0125, 0, -1, kPorts, "/dev/ttyUSB7", init, on_line, nullptr};
