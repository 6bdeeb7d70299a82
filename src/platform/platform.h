// SPDX-License-Identifier: BSD-2-Clause
// The one seam between the daemon and the router: paths and shared files.
//
// On the router (GNSSD_ROOT unset or empty) every call here is the plain
// system call. Under a simulation root every absolute path is resolved below
// the root, GPIO and clock requests go to text-file stand-ins (devices.h),
// and every log line is mirrored to standard error (log.h). No other file
// knows which of the two it runs on.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

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
