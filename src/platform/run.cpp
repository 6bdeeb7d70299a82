// SPDX-License-Identifier: BSD-2-Clause
// Running the router's tools: fork and exec with an argument list, never a shell.
#include "platform/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

// Arguments passed behind the program name; with the name and the end of the
// vector that makes 64 entries, enough for every tool call of the service.
constexpr int kMaxArgs = 62;
// A capture reads the pipe in pieces of this size; what does not fit the
// caller's buffer is dropped piece by piece.
constexpr std::size_t kDrainChunk = 512;

// Descriptors for the next child's standard input, output and error; -1
// stands for "/dev/null". Per thread, so threads never race for them.
struct ChildStdio {
    int fd[3] = {-1, -1, -1};
};

thread_local ChildStdio child_stdio;

// Between fork and exec only async-signal-safe calls are allowed (another
// thread may hold the allocator's lock), so everything the child needs is
// prepared by the parent.
[[noreturn]] void child_exec(const char* exec_path, char* const* argv, const char* devnull_path, const int* stdio,
                             bool own_group, int exec_failed)
{
    // The tool must start as any program does: our worker threads block
    // every signal and that mask survives exec, so a tool started from one
    // would ignore SIGTERM and never see its own alarm. Handlers go back to
    // the default first, while everything is still blocked, so that no signal
    // can reach a handler of ours in the child.
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (own_group)
        setpgid(0, 0);
    int devnull = open(devnull_path, O_RDWR);
    // The kernel's null device is no router stand-in: fall back to it when the
    // simulation root has none, so the child never starts with a closed stream.
    if (devnull < 0 && std::strcmp(devnull_path, "/dev/null") != 0)
        devnull = open("/dev/null", O_RDWR);
    // Keep it clear of 0..2, which the loop below overwrites one by one.
    if (devnull >= 0 && devnull < 3) {
        int moved = fcntl(devnull, F_DUPFD, 3);
        if (moved >= 0)
            devnull = moved;
    }
    for (int i = 0; i < 3; ++i) {
        if (stdio[i] == i) {
            // Our own stream, kept: it must survive the exec.
            fcntl(i, F_SETFD, 0);
            continue;
        }
        int from = stdio[i] >= 0 ? stdio[i] : devnull;
        if (from < 0) {
            close(i);
        } else if (from != i) {
            dup2(from, i);  // also clears close-on-exec on the copy
        }
    }
    // The child gets nothing of ours but its three standard descriptors.
    if (close_range(3, ~0U, 0) != 0) {
        for (long fd = sysconf(_SC_OPEN_MAX) - 1; fd >= 3; --fd)
            close(static_cast<int>(fd));
    }
    execvp(exec_path, argv);
    _exit(exec_failed);
}

// Starts argv[0] with the given standard descriptors (-1: "/dev/null"); the
// pid or -1. The thread's prepared descriptors are closed and forgotten
// whether or not the start succeeded.
pid_t proc_spawn(const char* const* argv, const ProcStart& how, const int* stdio)
{
    // A tool named by absolute path lives below the simulation root when there
    // is one; a bare name is found through PATH as on the router.
    char exec_buf[kPlatPathMax];
    const char* exec_path = plat_path(argv[0], exec_buf, sizeof exec_buf);
    char null_buf[kPlatPathMax];
    const char* devnull_path = plat_path("/dev/null", null_buf, sizeof null_buf);

    pid_t pid = fork();
    if (pid == 0)
        child_exec(exec_path, const_cast<char* const*>(argv), devnull_path, stdio, how.own_group, how.exec_failed);
    if (pid > 0 && how.own_group)
        setpgid(pid, pid);  // whichever of the two runs first
    proc_reset_stdio();
    return pid;
}

pid_t proc_spawn(const char* const* argv, const ProcStart& how)
{
    static constexpr int kOwn[3] = {0, 1, 2};
    return proc_spawn(argv, how, how.inherit_stdio ? kOwn : child_stdio.fd);
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// A tool's time limit is real time whatever clock the service's own waits
// read: the tool is a process of its own and runs on the real one.
long long tool_clock_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads what the pipe holds now into out; false once the write ends are all
// closed (or the pipe failed).
bool drain(int fd, ProcOutput* out)
{
    for (;;) {
        char* to;
        std::size_t room = out->size - 1 - out->length;
        char scrap[kDrainChunk];
        if (room > 0) {
            to = out->text + out->length;
        } else {
            to = scrap;
            room = sizeof scrap;
        }
        const ssize_t n = read(fd, to, room);
        if (n > 0) {
            if (to == scrap)
                out->cut = true;
            else
                out->length += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

}  // namespace

void proc_set_stdout(int fd)
{
    // 0 and 2 would tie the child's output to our own input or error stream.
    if (fd == 0 || fd == 2)
        return;
    child_stdio.fd[1] = fd;
}

void proc_reset_stdio()
{
    for (int& fd : child_stdio.fd) {
        if (fd > 2)
            close(fd);
        fd = -1;
    }
}

int proc_run(const char* program, ...)
{
    const char* argv[kMaxArgs + 2];
    argv[0] = program;
    int argc = 1;
    va_list ap;
    va_start(ap, program);
    for (const char* arg = va_arg(ap, const char*); arg && argc <= kMaxArgs; arg = va_arg(ap, const char*))
        argv[argc++] = arg;
    va_end(ap);
    argv[argc] = nullptr;
    return proc_run_argv(argv, ProcStart{});
}

int proc_run_argv(const char* const* argv, const ProcStart& how)
{
    pid_t pid = proc_spawn(argv, how);
    if (pid < 0)
        return -1;
    return wait_for(pid);
}

int proc_run_for(const char* const* argv, const ProcStart& how, int limit_ms, bool (*wait)(void* ctx, int ms),
                 void* ctx, int* status)
{
    ProcStart grouped = how;
    grouped.own_group = true;  // killed with whatever it started
    pid_t pid = proc_spawn(argv, grouped);
    if (pid < 0)
        return -1;
    // Looked at often at first (a tool usually ends within milliseconds),
    // then every 50 ms.
    int waited = 0, step = 1, result = 0;
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return result;
        if (r < 0 && errno != EINTR)
            return -1;
        if (r == 0 && result == 0 && (waited >= limit_ms || !wait(ctx, step))) {
            // Overdue or no longer wanted: killed, then reaped.
            kill(-pid, SIGKILL);
            result = waited >= limit_ms ? 1 : 2;
            while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
            }
            return result;
        }
        waited += step;
        step = step < 50 ? step * 2 : 50;
    }
}

bool proc_wait_real(void*, int ms)
{
    (void)poll(nullptr, 0, ms);
    return true;
}

int proc_capture(const char* const* argv, const ProcStart& how, int limit_ms, ProcOutput* out, int* status)
{
    out->length = 0;
    out->cut = false;
    if (out->size == 0)
        return -1;
    out->text[0] = '\0';
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        proc_reset_stdio();
        return -1;
    }
    // Read as it comes, never waiting on the pipe itself: the time limit
    // holds however the tool behaves.
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const int stdio[3] = {how.inherit_stdio ? 0 : child_stdio.fd[0], fds[1], how.inherit_stdio ? 2 : child_stdio.fd[2]};
    // The prepared output descriptor is not used: forget it with the rest.
    if (child_stdio.fd[1] > 2) {
        close(child_stdio.fd[1]);
        child_stdio.fd[1] = -1;
    }
    const pid_t pid = proc_spawn(argv, how, stdio);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    const long long deadline = tool_clock_ms() + limit_ms;
    // Readable once a stop has been requested: wakes the wait below at once.
    const int stop_fd = how.stop_ends ? plat_stop_fd() : -1;
    bool reading = true;
    int result = 0;
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r < 0 && errno != EINTR) {
            // Not ours to wait for any more: nothing to report on.
            result = -1;
            break;
        }
        if (r == pid) {
            // Whatever it printed before it ended is in the pipe already; a
            // process it left behind holding the pipe is not waited for.
            drain(fds[0], out);
            break;
        }
        const long long left = deadline - tool_clock_ms();
        const bool stopped = how.stop_ends && plat_stop_seen();
        if (left <= 0 || stopped) {
            kill(how.own_group ? -pid : pid, SIGKILL);
            *status = wait_for(pid);
            drain(fds[0], out);
            result = *status == -1 ? -1 : stopped ? 2 : 1;
            break;
        }
        // Woken by output, the pipe's end or a stop request; once the pipe
        // has ended the child is looked at every 10 ms until it is gone.
        pollfd p[2] = {{reading ? fds[0] : -1, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int wait_ms = reading ? (left < 50 ? static_cast<int>(left) : 50)
                                    : (left < 10 ? static_cast<int>(left) : 10);
        if (poll(p, 2, wait_ms) > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            reading = drain(fds[0], out);
    }
    close(fds[0]);
    out->text[out->length] = '\0';
    return result;
}
