// SPDX-License-Identifier: BSD-2-Clause
// Start and stop of the module families that switch their GNSS engine with AT commands.
//
// Every AT family goes through the same motions: let the module settle, take
// the control port, talk to it, let it go, then take the data port that carries
// NMEA. A driver only states its ports, delays and the commands as a table of
// AtStep rows; at_start and at_stop do the rest, so that the lock and
// descriptor handling (the part that must never leak) lives in one place.
#pragma once

#include <span>

#include "platform/platform.h"
#include "platform/log.h"

struct ReceiverLink;

// Where a command sequence stands; conditions and hooks of the rows read and
// write it.
struct AtRun {
    ReceiverLink* link;
    int fd;             // the control port
    const char* reply;  // reply to the last command sent ("" before the first)
    int changed;        // free for the driver: settings written so far
    bool failed;        // a keep_going row was refused
};

// One row of a command sequence. Rows are constexpr with designated
// initialisers; leave out what does not apply.
struct AtStep {
    // Sent unchanged, ending in "\r"; nullptr for a row that only pauses,
    // notes or runs its action.
    const char* command = nullptr;
    // The row applies only when this holds; nullptr: always.
    bool (*when)(const AtRun& run) = nullptr;
    // Seconds to wait before this row (a module that needs time between two
    // commands).
    int pause = 0;
    // Logged at LOG_NOTICE before the command is sent.
    const char* note = nullptr;
    // Answer timeout in whole seconds.
    int timeout = 1;
    // The command succeeds when its reply contains this; nullptr: the reply
    // is not examined and the command always succeeds.
    const char* expect = "OK\r\n";
    // Logged when the command fails; a "%s" in it receives the whole reply.
    const char* failure = nullptr;
    int failure_level = LOG_ERR;
    // Sent after a failure (reply not examined) before the sequence ends, to
    // leave the module in a known state.
    const char* on_refusal = nullptr;
    // A failure is logged and remembered (the sequence then fails at its
    // end) but the following rows are still sent.
    bool keep_going = false;
    // The sequence ends with a failure right after this command although it
    // succeeded (the module restarts and is taken again at the next start).
    bool fail_after = false;
    // Runs after the command succeeded (for example to note what the module
    // said about itself).
    void (*accepted)(AtRun& run) = nullptr;
    // A step that is more than one command (a settings table): runs in place
    // of command and returns 0 to go on or -1 after logging its failure.
    int (*action)(AtRun& run) = nullptr;
};

// One AT module family: its ports, delays and command sequences.
struct AtFamily {
    int settle_seconds;               // wait before the module is touched
    const char* control_port;         // tty that takes the AT commands
    const char* data_port;            // tty that carries NMEA once the engine runs
    const char* (*pick_data_port)();  // nullptr: data_port; else chosen after the start sequence
    std::span<const AtStep> start;
    std::span<const AtStep> stop;
};

// Runs the start: settle delay, lock and open the control port, the start
// rows, release the control port, lock and open the data port into the link.
// 0 with the data port open and locked in link->device_path / link->fd; -1
// with no port open or locked.
[[nodiscard]] int at_start(ReceiverLink* link, const AtFamily& family);

// Runs the stop: close and release the data port, then the stop rows on the
// control port. Does nothing when link->fd is negative. A stop request does
// not shorten it: the control port's lock is waited for its full time.
void at_stop(ReceiverLink* link, const AtFamily& family);

// Pieces of the pattern for drivers that use only part of it.
// Sends rows in order on an open control port; 0 or -1 (already logged).
// A stoppable sequence (a start) ends with -1 at its next pause once a stop
// request has come; a stop sequence always runs to its end.
[[nodiscard]] int at_run_steps(ReceiverLink* link, std::span<const AtStep> steps, bool stoppable = false);
// Closes link->fd, sets it to -1 and removes the lock of link->device_path.
void at_release(ReceiverLink* link);
// Locks a data port into the link and opens it as it is (no line settings);
// 0, or -1 with nothing left open or locked.
[[nodiscard]] int at_open_data_port(ReceiverLink* link, const char* path);
// Engines started and stopped by a text on their data port. Writes
// "$GPS_START" to the data port open in link->fd: 0, or -1 with the port
// released after "write(%s) error: %s".
[[nodiscard]] int at_text_start(ReceiverLink* link);
// Writes "$GPS_STOP" to the data port and releases it; nothing when no port is open.
void at_text_stop(ReceiverLink* link);
// Prints to standard output the HTML table row that warns that the cellular
// receive diversity antenna is off (the receiver has its input); returns the
// count of the last print.
int at_print_diversity_notice();
// True when the reply of the last command contains text.
bool at_reply_has(const AtRun& run, const char* text);
