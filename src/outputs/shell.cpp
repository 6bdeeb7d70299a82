// SPDX-License-Identifier: BSD-2-Clause
// Control shell: one request per connection on a UNIX stream socket.
#include "outputs/shell.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "outputs/sock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/worker.h"

namespace {

// One request is read in one go; a longer one is cut.
constexpr std::size_t kRequestSize = 1500;
// Room for the whole sockaddr_un, as accept fills it.
constexpr socklen_t kPeerAddrSize = 110;
// Pause after an accept that failed for want of descriptors or memory: the
// pending connection keeps the socket readable, and retrying at once would
// spin until the shortage ends.
constexpr int kAcceptBackoffMs = 1000;

}  // namespace

struct ControlShell {
    const char* path;
    Fd listen_sock;
    Fd conn_sock;  // the client being served
    // Waits on its stop descriptor along with the sockets, so it is joined
    // instead of cancelled at some arbitrary point (the program is built
    // without exceptions, which makes cancellation unwinding unsafe).
    Worker worker;
    const ShellCommand* commands;
};

namespace {

void close_conn(ControlShell* shell)
{
    sock_close(shell->conn_sock.release());
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// false: accept failed in a way that retrying at once would repeat.
bool shell_socket_open(ControlShell* shell)
{
    // The previous client connected but never sent its request: it is
    // dropped (closed, not leaked) in favour of the newcomer.
    if (shell->conn_sock)
        close_conn(shell);
    char addr[kPeerAddrSize];
    socklen_t len = sizeof addr;
    shell->conn_sock.reset(
        accept4(shell->listen_sock.get(), reinterpret_cast<struct sockaddr*>(addr), &len, SOCK_CLOEXEC));
    if (shell->conn_sock)
        return true;
    const int err = errno;
    log_msg(LOG_ERR, "%s - accept error: %s", "shell_socket_open", std::strerror(err));
    // A client that gave up before it was accepted is gone from the queue.
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED;
}

void shell_socket_exec(ControlShell* shell)
{
    char text[kRequestSize + 1];
    ssize_t n = recv(shell->conn_sock.get(), text, kRequestSize, 0);
    if (n < 0) {
        if (errno != EINTR)
            log_msg(LOG_ERR, "%s - socket recv error: %s", "shell_socket_exec", std::strerror(errno));
        return;
    }
    if (n == 0) {
        close_conn(shell);
        return;
    }
    // A request ends in a line end; one written without it (printf status)
    // is whole as it is.
    if (text[n - 1] == '\n')
        --n;
    text[n] = '\0';
    if (!shell->commands || text[0] == '\0') {
        close_conn(shell);
        return;
    }
    for (const ShellCommand* c = shell->commands; c->name; ++c) {
        const std::size_t len = std::strlen(c->name);
        if (std::strncmp(text, c->name, len) != 0)
            continue;
        if (c->handler) {
            const char* args = text + len;
            while (is_blank(*args))
                ++args;
            c->handler(c->context, args, shell->conn_sock.get());
        }
        close_conn(shell);
        return;
    }
    char reply[kRequestSize + 64];
    int m = std::snprintf(reply, sizeof reply, "shell: %s: command not found\n", text);
    if (m > 0)
        sock_send_text(shell->conn_sock.get(), reply,
                       static_cast<std::size_t>(m) < sizeof reply ? m : sizeof reply - 1);
    close_conn(shell);
}

// Waits with poll rather than select: a descriptor number above FD_SETSIZE
// would overrun select's fixed set.
void* shell_main(void* arg)
{
    ControlShell* shell = static_cast<ControlShell*>(arg);
    for (;;) {
        struct pollfd fds[2] = {
            {shell->listen_sock.get(), POLLIN, 0},  // a negative descriptor is skipped
            {shell->conn_sock.get(), POLLIN, 0},
        };
        const int r = worker_poll(&shell->worker, fds, 2, -1);
        if (r == -2)
            return nullptr;
        if (r < 0) {
            log_msg(LOG_ERR, "%s - select error: %s", "shell_main", std::strerror(errno));
            if (!worker_sleep(&shell->worker, 1000))
                return nullptr;
            continue;
        }
        // A client whose request has arrived is served before a newcomer is
        // accepted, so a waiting request is never thrown away. A hang-up or
        // error counts as readable: the read then reports it.
        if (fds[1].fd >= 0 && fds[1].revents)
            shell_socket_exec(shell);
        if (fds[0].fd >= 0 && fds[0].revents && !shell_socket_open(shell) &&
            !worker_sleep(&shell->worker, kAcceptBackoffMs))
            return nullptr;
    }
}

}  // namespace

void shell_close(ControlShell* shell)
{
    if (!shell)
        return;
    worker_stop(&shell->worker);
    sock_close(shell->conn_sock.release());
    sock_close(shell->listen_sock.release());
    // Only our socket: a file of another kind that made the bind fail stays.
    if (shell->path)
        (void)plat_unlink_type(shell->path, S_IFSOCK);
    delete shell;
}

ControlShell* shell_open(const char* path, const ShellCommand* commands)
{
    ControlShell* shell = new (std::nothrow) ControlShell{};
    if (!shell) {
        log_msg(LOG_ERR, "%s - not enough memory", "shell_open");
        return nullptr;
    }
    shell->path = path;
    shell->commands = commands;
    shell->listen_sock.reset(sock_unix_listen(path));
    if (!shell->listen_sock) {
        shell_close(shell);
        return nullptr;
    }
    if (worker_start(&shell->worker, shell_main, shell) != 0) {
        log_msg(LOG_ERR, "%s - cannot create thread", "shell_open");
        shell_close(shell);
        return nullptr;
    }
    log_msg(LOG_NOTICE, "shell started, listening on UNIX socket[%i] %s", shell->listen_sock.get(), path);
    return shell;
}

namespace {

// Milliseconds left until deadline on the real monotonic clock (the tool runs
// outside the service and its test clock), at least 0.
int ms_left(long long deadline)
{
    const long long left = deadline - clock_real_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events or the deadline passes.
bool wait_ready(int fd, short events, long long deadline)
{
    struct pollfd p = {fd, events, 0};
    const int left = ms_left(deadline);
    return left > 0 && clock_poll_real(&p, 1, left) > 0;
}

}  // namespace

long shell_ask(const char* path, const char* request, char* reply, std::size_t size, int limit_ms)
{
    if (!reply || size == 0) {
        errno = EINVAL;
        return -1;
    }
    reply[0] = '\0';
    const long long deadline = clock_real_ms() + limit_ms;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    char where[kPlatPathMax];
    plat_path(path, where, sizeof where);
    if (std::strlen(where) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, where, std::strlen(where) + 1);
    // Never blocking: a peer that takes no connection, reads nothing or
    // trickles its answer a byte at a time holds the tool no longer than
    // its limit.
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return -1;
    while (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        // A listener whose queue is full answers EAGAIN: it may take us later.
        if (errno != EAGAIN && errno != EINTR) {
            const int err = errno;
            fd.reset();
            errno = err;
            return -1;
        }
        if (ms_left(deadline) == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        (void)clock_poll_real(nullptr, 0, 10);
    }
    for (std::size_t sent = 0, len = std::strlen(request); sent < len;) {
        const ssize_t n = send(fd.get(), request + sent, len - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        if (!wait_ready(fd.get(), POLLOUT, deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
    std::size_t got = 0;
    for (;;) {
        char scrap[512];
        const bool room = got + 1 < size;
        const ssize_t n = recv(fd.get(), room ? reply + got : scrap, room ? size - 1 - got : sizeof scrap, 0);
        if (n == 0)
            break;
        if (n > 0) {
            if (!room) {
                errno = EMSGSIZE;
                return -1;
            }
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EAGAIN && errno != EINTR)
            return -1;
        if (!wait_ready(fd.get(), POLLIN, deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
    reply[got] = '\0';
    return static_cast<long>(got);
}
