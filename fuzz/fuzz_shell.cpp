// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes control-socket requests: one connection per input to a control
// shell listening on a socket below a private root, with the service's
// "snmp" command (no reporter, as when none could be made) and two more
// entries that show the table walk and the argument split.
//
// Input: the bytes the client writes in one go before closing its side.
#include <sys/socket.h>
#include <sys/un.h>

#include <csignal>

#include <string>

#include "fuzz_common.h"
#include "outputs/shell.h"
#include "outputs/snmp.h"

namespace {

int echo_args(void*, const char* args, int fd)
{
    const size_t len = std::strlen(args);
    if (len > 1500)
        std::abort();  // one read of at most 1500 bytes
    return static_cast<int>(write(fd, args, len));
}

const ShellCommand kCommands[] = {
    {"snmp", snmp_walk, nullptr},
    {"echo", echo_args, nullptr},
    {"quiet", nullptr, nullptr},
    {nullptr, nullptr, nullptr},
};

ControlShell* g_shell;
std::string g_socket;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string& root = fuzz::make_root();
    // The shell takes the router's path and resolves it below the root.
    g_socket = root + kShellSocketPath;
    signal(SIGPIPE, SIG_IGN);
    g_shell = shell_open(kShellSocketPath, kCommands);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!g_shell)
        return 0;  // not built yet: nothing to talk to
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", g_socket.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return 0;
    }
    // The shell may close after its one read while more is still coming.
    if (size > 0 && send(fd, data, size, MSG_NOSIGNAL) < 0) {
        close(fd);
        return 0;
    }
    shutdown(fd, SHUT_WR);
    // Read the reply until the shell closes the connection; a shell that
    // never closes hangs here, which libFuzzer reports as a timeout.
    char reply[4096];
    while (read(fd, reply, sizeof reply) > 0) {
    }
    close(fd);
    return 0;
}
