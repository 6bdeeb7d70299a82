// SPDX-License-Identifier: BSD-2-Clause
// Serial ports (serial.cpp), UUCP lock files (lock.cpp) and the AT command
// exchange (at.cpp): what the receiver link and the drivers do with a port.
#pragma once

#include <ctime>

struct ReceiverLink;
struct termios;

// Fills the line settings serial_open applies (speed, CS7/CS8, parity,
// stop bits, raw mode); the control characters are left as they are.
void serial_line_settings(struct termios* tio, int speed, int data_bits, const char* parity, int stop_bits);
// Opens a tty with the given line settings; -1 on failure (logged).
[[nodiscard]] int serial_open(const char* path, int speed, int data_bits, const char* parity, int stop_bits);
// Opens a module tty as it is, without touching its line settings; -1 on
// failure, logged as "open(%s) error: %s", with errno kept.
[[nodiscard]] int serial_open_port(const char* path);

// Writes a command and collects the reply (per-thread buffer, never null).
const char* at_command(int fd, const char* command, int timeout_seconds);

// What a stop request does to a lock wait. Starting work gives up at once:
// nothing it would do is wanted any more. The stop sequence waits its full
// time, because other programs hold the control port for a moment while the
// router shuts down, and giving up there would leave the GNSS engine on.
enum class LockWait { kUntilStop, kFull };

// 1 when the lock file was created for this process, 0 after the timeout.
[[nodiscard]] int lock_device(const char* path, int timeout_seconds, LockWait wait = LockWait::kUntilStop);
void unlock_device(const char* path);
int process_alive(int pid);

// Sets link->device_path and locks it (5 s); -1 after "device(%s) is locked".
[[nodiscard]] int link_lock_path(ReceiverLink* link, const char* path, LockWait wait = LockWait::kUntilStop);
// Opens link->device_path at 115200 8N1 into link->fd; -1 on failure.
[[nodiscard]] int link_open_serial(ReceiverLink* link);

int file_exists(const char* path);
// First line of a file (per-thread buffer), "" when missing.
const char* read_first_line(const char* path);

// Lock-file path of a device ("/run/lock/LCK..ttyUSB8"); returns buf.
const char* lock_file_path(const char* device, char* buf, unsigned size);
