// SPDX-License-Identifier: BSD-2-Clause
// Running the router's tools: fork and exec with an argument list, never a shell.
#include "platform/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/stop.h"

namespace {

// A capture reads the pipe in pieces of this size; what does not fit the
// caller's buffer is dropped piece by piece.
constexpr std::size_t kDrainChunk = 512;

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
    // The child gets nothing of ours but its three standard descriptors. The
    // system call itself: the router's C library has no wrapper for it, and
    // a kernel before 5.9 lacks it (every descriptor is closed one by one).
    long closed = -1;
#ifdef SYS_close_range
    closed = syscall(SYS_close_range, 3U, ~0U, 0U);
#endif
    if (closed != 0) {
        for (long fd = sysconf(_SC_OPEN_MAX) - 1; fd >= 3; --fd)
            close(static_cast<int>(fd));
    }
    execvp(exec_path, argv);
    _exit(exec_failed);
}

// Starts argv[0] with the given standard descriptors (-1: "/dev/null"); the
// pid or -1.
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
    return pid;
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

// Whether a stop the tool heeds has come.
bool stop_came(const ProcStart& how)
{
    return (how.stop_ends && plat_stop_seen()) || (how.worker && worker_stopping(how.worker));
}

}  // namespace

int proc_run(const char* const* argv, const ProcStart& how, int limit_ms, ProcOutput* out, int* status)
{
    if (out) {
        out->length = 0;
        out->cut = false;
        if (out->size == 0)
            return -1;
        out->text[0] = '\0';
    }
    Fd from_tool, to_us;
    if (out) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return -1;
        from_tool.reset(fds[0]);
        to_us.reset(fds[1]);
        // Read as it comes, never waiting on the pipe itself: the time limit
        // holds however the tool behaves.
        fcntl(from_tool.get(), F_SETFL, O_NONBLOCK);
    }
    const int own = how.inherit_stdio ? 1 : -1;
    const int stdio[3] = {how.inherit_stdio ? 0 : -1, out ? to_us.get() : own, how.inherit_stdio ? 2 : -1};
    const pid_t pid = proc_spawn(argv, how, stdio);
    to_us.reset();
    if (pid < 0)
        return -1;
    const bool heeds_stop = how.stop_ends || how.worker;
    if (!out && limit_ms < 0 && !heeds_stop) {
        *status = wait_for(pid);
        return *status == -1 ? -1 : 0;
    }
    // Real time whatever clock the service's own waits read: the tool is a
    // process of its own and runs on the real one.
    const long long deadline = limit_ms < 0 ? LLONG_MAX : clock_real_ms() + limit_ms;
    // Readable once a stop has been requested: wakes the wait below at once.
    const int stop_fd = how.stop_ends ? plat_stop_fd() : -1;
    const int worker_fd = how.worker ? how.worker->stop.get() : -1;
    bool reading = out != nullptr;
    // Without a pipe to wake it, the wait looks at the child often at first
    // (a tool usually ends within milliseconds), then every 50 ms; once the
    // pipe has ended, every 10 ms.
    int step = 1;
    const int step_max = out ? 10 : 50;
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
            if (out)
                drain(from_tool.get(), out);
            break;
        }
        const long long left = deadline - clock_real_ms();
        const bool stopped = stop_came(how);
        if (left <= 0 || stopped) {
            kill(how.own_group ? -pid : pid, SIGKILL);
            *status = wait_for(pid);
            if (out)
                drain(from_tool.get(), out);
            result = *status == -1 ? -1 : stopped ? 2 : 1;
            break;
        }
        // Woken by output, the pipe's end or a stop request.
        pollfd p[3] = {{reading ? from_tool.get() : -1, POLLIN, 0}, {stop_fd, POLLIN, 0}, {worker_fd, POLLIN, 0}};
        int wait_ms = reading ? 50 : step;
        if (!reading)
            step = step * 2 < step_max ? step * 2 : step_max;
        if (left < wait_ms)
            wait_ms = static_cast<int>(left);
        if (clock_poll_real(p, 3, wait_ms) > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            reading = drain(from_tool.get(), out);
    }
    if (out)
        out->text[out->length] = '\0';
    return result;
}
