// SPDX-License-Identifier: BSD-2-Clause
// Running the router's tools: fork and exec with an argument list, never a shell.
#pragma once

#include <sys/types.h>

#include <cstddef>

// How a tool is started. By default its standard streams are those prepared
// with proc_set_stdout ("/dev/null" otherwise), it shares our process group,
// and a program that cannot be executed ends it with exit code 1.
struct ProcStart {
    // Standard input, output and error stay the daemon's own, so that what the
    // tool prints reaches the router operator as the daemon's output does.
    bool inherit_stdio = false;
    // The tool leads a process group of its own: a Ctrl-C or hang-up meant for
    // the daemon's group does not reach it, and a kill at its time limit takes
    // whatever it started along.
    bool own_group = false;
    // Exit code of a child whose program could not be executed; 127 is what
    // a shell reports for a command it cannot run.
    int exec_failed = 1;
    // A stop request of the service ends the tool at once (proc_capture):
    // killed with its process group when it has one, so that a tool that
    // ignores SIGTERM, or a child it left running, never holds up the stop.
    bool stop_ends = false;
};

inline constexpr int kProcExecFailedShell = 127;

// The next child's standard output goes to fd (0 and 2 are refused: they
// would tie the child's output to our own input or error stream).
void proc_set_stdout(int fd);
// Closes the prepared descriptors above 2 and forgets all three.
void proc_reset_stdio();

// Arguments end with nullptr (at most 62 are passed); returns the raw wait
// status or -1.
int proc_run(const char* program, ...) __attribute__((sentinel));
// Runs argv (ended by nullptr) as `how` says and waits for it however long it
// takes; the raw wait status or -1 when it could not be started or awaited.
int proc_run_argv(const char* const* argv, const ProcStart& how);
// Runs argv (ended by nullptr) as `how` says, in a process group of its own,
// for at most limit_ms, calling wait(ctx, ms) to pass the time between looks
// at the child; a tool still running at the limit, or when wait returns
// false, is killed with its group. The wait status goes to *status. Returns
// 0 when the tool ended by itself, 1 when it was killed at the limit, 2 when
// killed because wait returned false, -1 when it could not be started or
// awaited.
int proc_run_for(const char* const* argv, const ProcStart& how, int limit_ms, bool (*wait)(void* ctx, int ms),
                 void* ctx, int* status);
// A wait for proc_run_for that passes real time and never gives up early.
bool proc_wait_real(void* ctx, int ms);

// What a tool printed on its standard output.
struct ProcOutput {
    char* text;          // buffer of the caller; ends with a string end
    std::size_t size;    // its size; at most size - 1 bytes are kept
    std::size_t length;  // bytes kept (the text may hold string ends itself)
    bool cut;            // more was printed than the buffer holds
};

// Runs argv (ended by nullptr) as `how` says, with its standard output read
// through a pipe into out while it runs, so that a talkative tool never
// blocks on a full pipe; output beyond the buffer is read and dropped. A tool
// still running after limit_ms is killed (with its process group when it has
// one). The wait status goes to *status. Returns 0 when the tool ended by
// itself, 1 when it was killed at the limit, 2 when killed for a stop
// request (how.stop_ends), -1 when it could not be started or awaited.
int proc_capture(const char* const* argv, const ProcStart& how, int limit_ms, ProcOutput* out, int* status);
