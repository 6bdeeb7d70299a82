// Control shell: one request per connection on a UNIX stream socket.
#include "outputs/shell.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "outputs/sock.h"
#include "platform/platform.h"

namespace {

// One request is read in one go; a longer one is cut.
constexpr std::size_t kRequestSize = 1500;
// Room for the whole sockaddr_un, as accept fills it.
constexpr socklen_t kPeerAddrSize = 110;

} // namespace

struct ControlShell {
    const char* path;
    int listen_sock;
    int conn_sock;
    pthread_t worker;
    bool worker_running;
    const ShellCommand* commands;
    // shell_close writes here to end the worker: it waits on this pipe along
    // with the sockets, so it can be joined instead of cancelled at some
    // arbitrary point (the program is built without exceptions, which makes
    // cancellation unwinding unsafe).
    int stop_pipe[2];
};

namespace {

void close_conn(ControlShell* shell)
{
    sock_close(shell->conn_sock);
    shell->conn_sock = -1;
}

// A client that has gone away must not raise SIGPIPE in the daemon.
void send_text(int fd, const char* text, std::size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, text, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void shell_socket_open(ControlShell* shell)
{
    // The previous client connected but never sent its request: it is
    // dropped (closed, not leaked) in favour of the newcomer.
    if (shell->conn_sock >= 0)
        close_conn(shell);
    char addr[kPeerAddrSize];
    socklen_t len = sizeof addr;
    shell->conn_sock = accept4(shell->listen_sock, reinterpret_cast<struct sockaddr*>(addr), &len, SOCK_CLOEXEC);
    if (shell->conn_sock < 0)
        log_msg(LOG_ERR, "%s - accept error: %s", "shell_socket_open", std::strerror(errno));
}

void shell_socket_exec(ControlShell* shell)
{
    char text[kRequestSize + 1];
    ssize_t n = recv(shell->conn_sock, text, kRequestSize, 0);
    if (n < 0) {
        if (errno != EINTR)
            log_msg(LOG_ERR, "%s - socket recv error: %s", "shell_socket_exec", std::strerror(errno));
        return;
    }
    if (n == 0) {
        close_conn(shell);
        return;
    }
    // The last byte is taken for the line end.
    text[n - 1] = '\0';
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
            c->handler(c->context, args, shell->conn_sock);
        }
        close_conn(shell);
        return;
    }
    char reply[kRequestSize + 64];
    int m = std::snprintf(reply, sizeof reply, "shell: %s: command not found\n", text);
    if (m > 0)
        send_text(shell->conn_sock, reply, static_cast<std::size_t>(m) < sizeof reply ? m : sizeof reply - 1);
    close_conn(shell);
}

// Waits with poll rather than select: a descriptor number above FD_SETSIZE
// would overrun select's fixed set.
void* shell_main(void* arg)
{
    ControlShell* shell = static_cast<ControlShell*>(arg);
    for (;;) {
        struct pollfd fds[3] = {
            {shell->stop_pipe[0], POLLIN, 0},
            {shell->listen_sock, POLLIN, 0},  // a negative descriptor is skipped
            {shell->conn_sock, POLLIN, 0},
        };
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            log_msg(LOG_ERR, "%s - select error: %s", "shell_main", std::strerror(errno));
            sleep(1);
            continue;
        }
        if (fds[0].revents)
            return nullptr;
        // A client whose request has arrived is served before a newcomer is
        // accepted, so a waiting request is never thrown away. A hang-up or
        // error counts as readable: the read then reports it.
        if (fds[2].fd >= 0 && fds[2].revents)
            shell_socket_exec(shell);
        if (fds[1].fd >= 0 && fds[1].revents)
            shell_socket_open(shell);
    }
}

} // namespace

void shell_close(ControlShell* shell)
{
    if (!shell)
        return;
    if (shell->worker_running) {
        char byte = 1;
        ssize_t ignored = write(shell->stop_pipe[1], &byte, 1);
        (void)ignored;
        pthread_join(shell->worker, nullptr);
    }
    if (shell->conn_sock >= 0)
        sock_close(shell->conn_sock);
    if (shell->listen_sock >= 0)
        sock_close(shell->listen_sock);
    for (int fd : shell->stop_pipe) {
        if (fd >= 0)
            close(fd);
    }
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
    shell->listen_sock = -1;
    shell->conn_sock = -1;
    shell->stop_pipe[0] = shell->stop_pipe[1] = -1;
    shell->commands = commands;
    shell->listen_sock = sock_unix_listen(path);
    if (shell->listen_sock < 0) {
        shell_close(shell);
        return nullptr;
    }
    if (pipe2(shell->stop_pipe, O_CLOEXEC) != 0) {
        log_msg(LOG_ERR, "%s - cannot create thread", "shell_open");
        shell_close(shell);
        return nullptr;
    }
    // Signals belong to the main thread: a SIGTERM must interrupt its read,
    // never this worker's wait.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&shell->worker, nullptr, shell_main, shell);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        log_msg(LOG_ERR, "%s - cannot create thread", "shell_open");
        shell_close(shell);
        return nullptr;
    }
    shell->worker_running = true;
    log_msg(LOG_NOTICE, "shell started, listening on UNIX socket[%i] %s", shell->listen_sock, path);
    return shell;
}
