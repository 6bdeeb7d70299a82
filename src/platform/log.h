// SPDX-License-Identifier: BSD-2-Clause
// The service's one log: syslog as "gps", mirrored to standard error where asked.
#pragma once

#include <syslog.h>

// Opens syslog as "gps" (LOG_PID | LOG_NDELAY, LOG_DAEMON).
void plat_openlog();
void plat_closelog();

// Every message of the daemon goes through here: syslog, plus under a
// simulation root one line "gps: LEVEL: TEXT" on standard error.
void log_msg(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Where messages go besides what the simulation root decides: standard
// error as well (a service run in the foreground for debugging; on the
// router each line then begins with the local time, as in the system log),
// or only there (a one-shot tool whose findings are no event for the
// router's log).
enum class LogStderr : int { normal, mirror, only };
void plat_log_stderr(LogStderr mode);
// While muted nothing is logged: the fleet process reads the settings file the
// service has already reported on.
void plat_log_mute(bool muted);

// Log messages of one kind (one format at one priority, whatever the values
// put into it) are limited to this many a second; the rest of that second is
// summed up in one "N similar messages suppressed, the first: ..." line,
// written with the next message logged after that second, or at
// plat_closelog.
inline constexpr unsigned kLogRepeatLimit = 10;
// Starts the count afresh, dropping held-back repeats unreported (tests that
// log one text in many cases).
void plat_log_forget_repeats();
