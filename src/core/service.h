// Service lifecycle: command dispatch, start-up, main loop, shutdown.
#pragma once

#include <csignal>

// Cleared only by the SIGTERM handler; the main thread tests it.
extern volatile sig_atomic_t running;

// The whole program: returns the exit status (always 0).
int service_main(int argc, char** argv);
