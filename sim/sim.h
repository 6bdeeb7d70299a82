// SPDX-License-Identifier: BSD-2-Clause
// Router simulator: shared state and the contract between the simulator core
// and the module dialects (one dialect file per module family).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct Sim;

// How the control port answers one command, from the --script file (or the
// dialect's default when no script line matches).
enum class ScriptAction { Default, Accept, Refuse, Text, Silent, Slow };
struct ScriptReply {
    ScriptAction action = ScriptAction::Default;
    std::string text;  // Text: the reply; Slow: the reply sent byte by byte
    int delay_ms = 0;  // Slow: pause between bytes
};

// One module family as the simulator plays it.
struct Dialect {
    const char* name;          // --family NAME
    uint32_t usb_id;           // USB id listed for port 8 (0: no line)
    int board_code;            // dev/gpio board_code (-1: no line)
    int platform_id;           // dev/gpio platform_id (-1: no line)
    const char* const* ports;  // router paths of the ttys to create, nullptr-terminated
    const char* data_port;     // where NMEA streams once the engine runs
    // Called once after the root is laid out and the ports exist.
    void (*init)(Sim* sim);
    // One command line received on a port (without its "\r" / "\n").
    void (*on_line)(Sim* sim, const char* port, std::string_view line);
    // Raw bytes received on a port, before line splitting (may be nullptr).
    void (*on_bytes)(Sim* sim, const char* port, std::string_view bytes);
};

// --- services of the simulator core for the dialects ------------------------
// Writes text to a port (as the module would answer).
void sim_send(Sim* sim, const char* port, std::string_view text);
// Answers a command as the script says, or with default_reply when the script
// has no line for it. Returns the action taken.
ScriptAction sim_answer(Sim* sim, const char* port, std::string_view command, std::string_view default_reply);
// Starts or stops the NMEA stream on the dialect's data port.
void sim_stream(Sim* sim, bool on);
// Follows "$GPS_START" / "$GPS_STOP" in the bytes of a data port, which
// come without a line end and possibly split over reads: appends bytes to
// window, switches the stream for each text found in order and keeps only
// the tail that could begin the next one.
void sim_stream_switch(Sim* sim, std::string& window, std::string_view bytes);
// Drops every port and re-creates it after delay_ms (a module re-enumerating
// on USB after a restart).
void sim_replug(Sim* sim, int delay_ms);
// Value of a --opt KEY=VALUE option, or fallback.
std::string sim_option(Sim* sim, const char* key, const char* fallback);
// The simulation root directory.
const std::string& sim_root(Sim* sim);
// Appends one line to the root's sim/events.log ("<ms> <what>"), e.g. a note
// of a dialect state change.
void sim_event(Sim* sim, std::string_view what);

// Every dialect the simulator knows, nullptr-terminated.
extern const Dialect* const kDialects[];

// Subcommand "gnssd-sim server ...": loopback TCP/UDP servers that record
// what they receive.
int netserver_main(int argc, char** argv);

// Lays out the stand-in "snmptrap" (on PATH, in the root's bin/) and
// "/usr/bin/status" tools; called by the core for every family.
void tools_install_snmp(Sim* sim);
