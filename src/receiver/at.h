// SPDX-License-Identifier: BSD-2-Clause
// The AT command exchange on a module's control port.
#pragma once

// Writes a command and collects the reply (per-thread buffer, never null).
const char* at_command(int fd, const char* command, int timeout_seconds);
