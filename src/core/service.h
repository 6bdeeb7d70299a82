// SPDX-License-Identifier: BSD-2-Clause
// Service lifecycle: command dispatch, start-up, main loop, shutdown.
#pragma once

#include <csignal>

// Cleared only by the stop handler (SIGTERM, SIGINT, SIGHUP); the main thread
// tests it.
extern volatile sig_atomic_t running;

// The whole program: returns the exit status (0; 1 when another service
// already runs).
int service_main(int argc, char** argv);
