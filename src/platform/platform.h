// SPDX-License-Identifier: BSD-2-Clause
// The one seam between the daemon and the router: paths, GPIO, clocks, logging.
//
// On the router (GNSSD_ROOT unset or empty) every call here is the plain
// system call. Under a simulation root every absolute path is resolved below
// the root, GPIO and clock requests go to text-file stand-ins, and every log
// line is mirrored to standard error. No other file knows which of the two
// it runs on.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <syslog.h>

// Longest resolved path: the root plus the router path.
inline constexpr std::size_t kPlatPathMax = 4096;

// Nonzero when running under a simulation root.
int plat_simulated();
// Reads GNSSD_ROOT again at the next call (tests that enter and leave the
// simulation root in one process, while no other thread uses the platform).
void plat_root_reread();

// Resolves a path the service uses to the path to open. Relative paths and
// all paths on the router come back unchanged. Never fails: a path that does
// not fit is cut, which makes the later open fail rather than hit the wrong
// file. Returns buf.
const char* plat_path(const char* path, char* buf, std::size_t size);

// Path-taking system calls with the path resolved as above. Results and errno
// are those of the system call.
int plat_open(const char* path, int flags, mode_t mode = 0);
FILE* plat_fopen(const char* path, const char* mode);
int plat_stat(const char* path, struct stat* st);
int plat_lstat(const char* path, struct stat* st);
int plat_unlink(const char* path);
int plat_rename(const char* from, const char* to);
int plat_chown(const char* path, uid_t uid, gid_t gid);
int plat_lchown(const char* path, uid_t uid, gid_t gid);
int plat_chmod(const char* path, mode_t mode);
// The link keeps its target exactly as given (a system path such as
// "/dev/pts/3"); only the link's own path is resolved.
int plat_symlink(const char* target, const char* linkpath);

// One GPIO control request on an open "/dev/gpio" descriptor: the ioctl on the
// router, the text-file stand-in under a simulation root. Returns what the
// ioctl returns (-1 with errno on failure).
int plat_gpio_ioctl(int fd, unsigned long request, int arg);

// Sets the RTC behind an open "/dev/rtc" descriptor from a UTC broken-down
// time (RTC_SET_TIME on the router; one appended line under the root).
int plat_rtc_set(int fd, const struct tm* utc);

// Sets the system clock (settimeofday on the router; one appended line in
// "dev/clock" under the root). Returns 0 or -1 with errno.
int plat_set_system_time(time_t seconds);

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

// Files the service reads and writes on a file system other programs share.
// None of these blocks on a FIFO or device found at the path, and a file they
// create gets exactly the mode given whatever the umask. Reading follows a
// symbolic link to a regular file; writing, replacing and removing never go
// through a link.
//
// Opens a regular file (flags as for open; O_NONBLOCK and O_CLOEXEC are
// added, and O_NOFOLLOW unless the file is only read). Anything else at the
// path fails: EINVAL for a file that is not a regular one (also behind a
// link), ELOOP for a link when writing, EMLINK when writing to a file that
// has a second name (a hard link).
int plat_open_file(const char* path, int flags, mode_t mode = 0644);
// The same for reading through stdio; nullptr with errno on failure.
FILE* plat_fopen_file(const char* path);
// Replaces the regular file at path with text: written to path + ".tmp"
// (whatever stood there is removed first), then renamed over path. Refuses
// (EEXIST) when path holds something other than a regular file. 0 or -1 with
// errno; nothing is left behind on failure.
int plat_replace_file(const char* path, const char* text, std::size_t len, mode_t mode = 0644);
// Removes path only when it is of the given type (S_IFSOCK, S_IFLNK, ...):
// 0, or -1 with errno (EEXIST when something else stands there).
int plat_unlink_type(const char* path, mode_t type);

// One service per router: takes an exclusive lock on the pid file at path and
// writes this process's id into it. Returns the descriptor, which must stay
// open for as long as the service runs; -1 when the lock is held elsewhere
// (errno EWOULDBLOCK; *holder gets the id written in the file, 0 when
// unknown) or the file cannot be opened (*holder 0). The file is opened as by
// plat_open_file for writing: a link or a file with a second name is refused.
int plat_pidfile_lock(const char* path, int* holder);
// At a clean exit: removes the pid file, if it is still the one locked at fd,
// and closes fd (-1 accepted). Nothing is left for a later start to mistake
// for a running service.
void plat_pidfile_remove(const char* path, int fd);
// Whether a service holds the lock of the pid file at path: 1 when one does
// (*pid its id as written in the file, 0 when unreadable), 0 when none does
// or there is no file, -1 when that cannot be told. Looks by taking a shared
// lock for an instant, which plat_pidfile_lock allows for.
int plat_pidfile_holder(const char* path, int* pid);

// Stop requests. The service's handler of SIGTERM, SIGINT and SIGHUP calls
// plat_stop_note (async-signal-safe); every wait of the service ends early
// once it has.
void plat_stop_note();
int plat_stop_seen();
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

// Log messages of one kind (one format at one priority, whatever the values
// put into it) are limited to this many a second; the rest of that second is
// summed up in one "N similar messages suppressed, the first: ..." line,
// written with the next message logged after that second, or at
// plat_closelog.
inline constexpr unsigned kLogRepeatLimit = 10;
// Starts the count afresh, dropping held-back repeats unreported (tests that
// log one text in many cases).
void plat_log_forget_repeats();
