// SPDX-License-Identifier: BSD-2-Clause
// Control shell: one request per connection on a UNIX stream socket.
#pragma once

struct ShellCommand {
    const char* name;  // nullptr ends the table
    int (*handler)(void* context, const char* args, int fd);
    void* context;
};

struct ControlShell;

inline constexpr const char* kShellSocketPath = "/run/gps.socket";

[[nodiscard]] ControlShell* shell_open(const char* path, const ShellCommand* commands);
void shell_close(ControlShell* shell);

// The client side: sends request to the shell at path (resolved as every
// path of the service) and copies the reply to out_fd until the service
// closes the connection. Returns the bytes of the reply, or -1 with errno
// when no service answers there.
[[nodiscard]] long shell_ask(const char* path, const char* request, int out_fd);
