// SPDX-License-Identifier: BSD-2-Clause
// Router simulator internals: the options, the simulated ports and the NMEA sources.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim.h"

// Command line of the simulator.
struct SimConfig {
    std::string root;
    std::string family = "gpsstart";
    std::vector<std::pair<std::string, std::string>> settings;  // --set, in order
    std::map<std::string, std::string> options;                 // --opt
    int board = -2;                                             // -2: the dialect's; -1: no line
    int platform = -2;                                          // likewise
    bool usb_given = false;
    uint32_t usb_id = 0;  // 0 with usb_given: no line
    bool outputs = false;
    std::string capture;  // empty: the synthetic drive
    bool fast = false;
    int rate = 1;  // receiver cycles per second of a paced stream
    bool loop = false;
    std::string script;
};

// Source of the NMEA stream: a capture file or the synthetic drive.
struct NmeaSource {
    // Capture: the file's bytes split into lines with their own line ends.
    std::vector<std::string> lines;
    std::size_t next = 0;
    std::string cycle_tag;  // the sentence that opens each receiver cycle
    bool loop = false;
    bool ended = false;
    // Synthetic drive.
    bool synthetic = true;
    int64_t tick = 0;  // seconds of drive so far
    double lat = 50.0755, lon = 14.4378, course = 45.0;
    // Fault injection: the next RMC carries a date 1024 weeks too early.
    bool rollover = false;
};

// Loads a capture; false (with a message on stderr) when it cannot be read.
bool source_load_capture(NmeaSource* src, const std::string& path, bool loop);
// Appends one receiver cycle (one second's worth of sentences) to out.
void source_cycle(NmeaSource* src, std::string* out);
// Appends up to max_bytes of the capture, whole lines only (fast replay).
void source_bulk(NmeaSource* src, std::string* out, std::size_t max_bytes);
// "*hh" checksum helper: XOR of the bytes between '$' and '*'.
unsigned nmea_xor(std::string_view body);

// One pseudo-terminal that the simulator plays the device side of.
struct SimPort {
    std::string path;      // router path, e.g. "/dev/ttyUSB9"
    std::string out_file;  // output ports: where received bytes go
    bool output = false;   // a local output (ttyS0, ttyS1, ttyUSB0), not a module port
    int master = -1;
    int out_fd = -1;
    bool hup = false;  // nobody holds the slave open (reads give EIO)
    struct Chunk {
        int64_t at_ms;  // not before this monotonic time (slow replies)
        std::string bytes;
        std::size_t off = 0;
    };
    std::deque<Chunk> queue;
    std::size_t queued = 0;  // bytes in queue
    std::string line;        // command line being assembled
    std::string record;      // bytes not yet written to commands.log
};

// One line of the --script file.
struct ScriptEntry {
    std::string command;  // exact command, or a prefix when it ends in '*'
    std::vector<ScriptReply> replies;
    std::size_t used = 0;  // several lines for one command answer in turn
};

struct Sim {
    SimConfig cfg;
    const Dialect* dialect = nullptr;
    std::vector<SimPort> ports;
    std::vector<ScriptEntry> script;
    NmeaSource source;
    bool streaming = false;
    bool silent = false;
    bool unplugged = false;
    int64_t replug_at = -1;
    int64_t next_cycle_ms = 0;
    int ctl_fd = -1;
    int cmdlog_fd = -1;
    int events_fd = -1;
    bool quit = false;
};

int64_t sim_now_ms();
// Lays out the root's directories and stand-in files; false on failure.
bool sim_layout(Sim* sim);
// Reads the --script file; false on a malformed file.
bool sim_load_script(Sim* sim);
// The simulator proper; returns the exit status.
int sim_run(Sim* sim);
