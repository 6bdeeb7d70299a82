// SPDX-License-Identifier: BSD-2-Clause
// Serial ports: opening a port with its line settings, and the small files the drivers read.
#pragma once

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

// Opens link->device_path at 115200 8N1 into link->fd; -1 on failure.
[[nodiscard]] int link_open_serial(ReceiverLink* link);

int file_exists(const char* path);
// First line of a file (per-thread buffer), "" when missing.
const char* read_first_line(const char* path);
