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
