// SPDX-License-Identifier: BSD-2-Clause
// Stop requests of the service and the pause they cut short.
#pragma once

#include <csignal>

// Stop requests. The service's handler of SIGTERM, SIGINT and SIGHUP calls
// plat_stop_note (async-signal-safe); every wait of the service ends early
// once it has.
void plat_stop_note();
int plat_stop_seen();
// Makes SIGTERM, SIGINT and SIGHUP stop requests: each calls plat_stop_note
// and clears *running (when given). Without SA_RESTART, so that a wait of
// the main thread (an open, a read, a pause) ends at once instead of
// resuming.
void plat_stop_on_signals(volatile sig_atomic_t* running = nullptr);
// A descriptor that turns readable once a stop has been requested, for waits
// that poll: a flag checked before the wait could miss a signal that lands
// between the check and the call. Made on the first call (from the thread
// that waits, before it looks at plat_stop_seen); -1 when it cannot be made.
int plat_stop_fd();
// Forgets an earlier stop request (tests that run several services in one
// process).
void plat_stop_clear();
// Sleeps for seconds unless a stop request comes first: true when the whole
// time passed, false when it was cut short. With what set and a wait of 5
// seconds or more, logs one line first saying what it waits for and how long.
bool plat_pause(unsigned seconds, const char* what = nullptr);
