// SPDX-License-Identifier: BSD-2-Clause
// One service per router: the pid file and its lock.
#pragma once

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
