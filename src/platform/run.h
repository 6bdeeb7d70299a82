// SPDX-License-Identifier: BSD-2-Clause
// Running the router's tools: fork and exec with an argument list, never a shell.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "platform/worker.h"

// How a tool is started. By default its standard streams are "/dev/null",
// it shares our process group, and a program that cannot be executed ends it
// with exit code 1.
struct ProcStart {
    // Standard input, output and error stay the daemon's own, so that what the
    // tool prints reaches the router operator as the daemon's output does
    // (standard output only when it is not captured).
    bool inherit_stdio = false;
    // The tool leads a process group of its own: a Ctrl-C or hang-up meant for
    // the daemon's group does not reach it, and a kill at its time limit takes
    // whatever it started along.
    bool own_group = false;
    // Exit code of a child whose program could not be executed; 127 is what
    // a shell reports for a command it cannot run.
    int exec_failed = 1;
    // A stop request of the service ends the tool at once: killed with its
    // process group when it has one, so that a tool that ignores SIGTERM, or
    // a child it left running, never holds up the stop.
    bool stop_ends = false;
    // The same for the stop of this worker (the thread that runs the tool).
    const Worker* worker = nullptr;
};

inline constexpr int kProcExecFailedShell = 127;
// A tool given no time limit is waited for however long it takes.
inline constexpr int kProcNoLimit = -1;

// What a tool printed on its standard output.
struct ProcOutput {
    char* text;          // buffer of the caller; ends with a string end
    std::size_t size;    // its size; at most size - 1 bytes are kept
    std::size_t length;  // bytes kept (the text may hold string ends itself)
    bool cut;            // more was printed than the buffer holds
};

// Runs argv (ended by nullptr; a bare name is found through PATH) as `how`
// says and waits for it, for at most limit_ms of real time (kProcNoLimit:
// however long it takes). With out, its standard output is read through a
// pipe into out while it runs, so that a talkative tool never blocks on a
// full pipe; output beyond the buffer is read and dropped. A tool still
// running at the limit, or when a stop it heeds comes, is killed (with its
// process group when it has one). The wait status goes to *status. Returns 0
// when the tool ended by itself, 1 when it was killed at the limit, 2 when
// killed for a stop, -1 when it could not be started or awaited.
int proc_run(const char* const* argv, const ProcStart& how, int limit_ms, ProcOutput* out, int* status);
