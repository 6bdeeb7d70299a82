// SPDX-License-Identifier: BSD-2-Clause
// Control shell: one request per connection on a UNIX stream socket.
#pragma once

#include <cstddef>

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
// path of the service) and reads the whole reply into reply (size bytes, a
// string end included) until the service closes the connection, all within
// limit_ms however the peer behaves. Returns the length of the reply, or -1
// with errno: that of the connect when no service answers there, ETIMEDOUT
// when the exchange did not end in time, EMSGSIZE when the reply does not
// fit.
[[nodiscard]] long shell_ask(const char* path, const char* request, char* reply, std::size_t size, int limit_ms);
