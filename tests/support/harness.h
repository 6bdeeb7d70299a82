// SPDX-License-Identifier: BSD-2-Clause
// Test support: temporary simulation roots, child processes, waiting on
// files and log lines (never fixed sleeps).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace th {

// A fresh directory removed (recursively) at destruction.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// Lays out the directories a simulation root needs (dev, proc/tty/driver,
// run, run/lock, run/gps, run/ppp, opt/gps/etc, usr/bin, bin).
void make_root_dirs(const std::string& root);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// Polls pred every 20 ms until it holds or the timeout passes.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(20));

// A child process with its standard error (and output) captured to a file.
struct Process {
    pid_t pid = -1;
    std::string log_path;  // stdout+stderr of the child
    int status = -1;       // raw wait status once reaped

    // Starts argv[0] with extra environment entries; stdout/stderr to log_path.
    void start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& log_path);
    bool running();
    // Sends sig and waits up to timeout for exit; true when it exited.
    bool stop(int sig, std::chrono::milliseconds timeout);
    bool wait_exit(std::chrono::milliseconds timeout);
    std::string log() const;
    // Waits until the log holds text (from its start).
    bool wait_log(const std::string& text, std::chrono::milliseconds timeout) const;
    // Number of open descriptors and threads of the running child (from /proc).
    int fd_count() const;
    int thread_count() const;
    ~Process();
};

// The argv that starts a program built by this project: the program alone,
// or behind the emulator command when it is built for another machine
// (qemu-arm without binfmt_misc). Process::start applies it by itself; use it
// where a test execs a program directly (also "/proc/self/exe").
std::vector<std::string> program_argv(const std::string& path);

// Paths of the built programs and the test data folder.
std::string daemon_bin();
std::string sim_bin();
std::string data_path(const std::string& name);

// Number of times text occurs in hay.
int count_of(const std::string& hay, const std::string& text);

// A port free right now on the loopback address (SOCK_STREAM, SOCK_DGRAM).
int free_port(int type);

}  // namespace th
