// SPDX-License-Identifier: BSD-2-Clause
// Process utilities: running the router's tools and reading the status tool.
#include "outputs/proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/platform.h"

namespace {

// Arguments passed behind the program name; with the name and the end of the
// vector that makes 64 entries, enough for every tool call of the service.
constexpr int kMaxArgs = 62;
constexpr std::size_t kSectionSize = 32;
constexpr std::size_t kValueSize = 128;
// The status tool's output is read once, after it ended; longer output is cut.
constexpr std::size_t kOutputSize = 4096;
// A value lies between ": " and the line end: 1 to 127 characters.
constexpr long kValueMaxSpan = 130;

// Descriptors for the next child's standard input, output and error; -1
// stands for "/dev/null". Per thread, so threads never race for them.
struct ChildStdio {
    int fd[3] = {-1, -1, -1};
};

struct StatusCache {
    char section[kSectionSize];
    long time;
    char value[kValueSize];
    char output[kOutputSize];
};

thread_local ChildStdio child_stdio;
thread_local StatusCache status_cache;

// Between fork and exec only async-signal-safe calls are allowed (another
// thread may hold the allocator's lock), so everything the child needs is
// prepared by the parent.
[[noreturn]] void child_exec(const char* exec_path, char* const* argv, const char* devnull_path, const int* stdio,
                             bool own_group)
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
        if (stdio[i] == i)
            continue;
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
    _exit(1);
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

namespace {

// Starts argv[0] with the thread's prepared standard descriptors; the pid or
// -1. With own_group the child leads a process group of its own, so that it
// can be killed together with whatever it started.
pid_t proc_spawn(char* const* argv, bool own_group)
{
    // A tool named by absolute path lives below the simulation root when there
    // is one; a bare name is found through PATH as on the router.
    char exec_buf[kPlatPathMax];
    const char* exec_path = plat_path(argv[0], exec_buf, sizeof exec_buf);
    char null_buf[kPlatPathMax];
    const char* devnull_path = plat_path("/dev/null", null_buf, sizeof null_buf);
    int stdio[3] = {child_stdio.fd[0], child_stdio.fd[1], child_stdio.fd[2]};

    pid_t pid = fork();
    if (pid == 0)
        child_exec(exec_path, argv, devnull_path, stdio, own_group);
    if (pid > 0 && own_group)
        setpgid(pid, pid);  // whichever of the two runs first
    proc_reset_stdio();
    return pid;
}

}  // namespace

int proc_run(const char* program, ...)
{
    char* argv[kMaxArgs + 2];
    argv[0] = const_cast<char*>(program);
    int argc = 1;
    va_list ap;
    va_start(ap, program);
    for (const char* arg = va_arg(ap, const char*); arg && argc <= kMaxArgs; arg = va_arg(ap, const char*))
        argv[argc++] = const_cast<char*>(arg);
    va_end(ap);
    argv[argc] = nullptr;

    pid_t pid = proc_spawn(argv, false);
    if (pid < 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int proc_run_for(const char* const* argv, int limit_ms, bool (*wait)(void* ctx, int ms), void* ctx, int* status)
{
    pid_t pid = proc_spawn(const_cast<char* const*>(argv), true);
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

const char* status_read(const char* section, int max_age)
{
    StatusCache& c = status_cache;
    if (c.section[0] != '\0' && std::strcmp(c.section, section) == 0 && c.time + max_age >= monotonic_seconds())
        return c.output;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "";
    // The tool's output is read only after it ended. A non-blocking write end
    // makes a tool that prints more than the pipe holds fail instead of
    // waiting forever for a reader, which would stall this thread.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    proc_set_stdout(fds[1]);
    int status = proc_run("/usr/bin/status", "-v", section, static_cast<const char*>(nullptr));
    if (status != 0) {
        close(fds[0]);
        return "";
    }
    ssize_t n;
    do {
        n = read(fds[0], c.output, kOutputSize - 1);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    if (n < 0)
        return "";  // not cached
    c.output[n] = '\0';
    std::snprintf(c.section, sizeof c.section, "%s", section);
    c.time = monotonic_seconds();
    return c.output;
}

const char* status_value(const char* output, const char* key)
{
    const std::size_t klen = std::strlen(key);
    const char* p = output;
    for (;;) {
        if (*p == '\0')
            return "N/A";
        if (*p == '\n')
            ++p;
        const char* end = std::strchr(p, '\n');
        if (!end)
            end = p + std::strlen(p);
        if (std::strncmp(p, key, klen) == 0) {
            // The first ": " from this line on; it may lie on a later line,
            // which then makes the value unusable.
            const char* sep = std::strstr(p, ": ");
            if (!sep)
                return "N/A";
            const long span = end - sep;
            if (span <= 2 || span >= kValueMaxSpan)
                return "N/A";
            std::snprintf(status_cache.value, sizeof status_cache.value, "%.*s", static_cast<int>(span - 2), sep + 2);
            return status_cache.value;
        }
        p = end;
    }
}

const char* status_get(const char* section, const char* key)
{
    return status_value(status_read(section, 1), key);
}
