// SPDX-License-Identifier: BSD-2-Clause
// UUCP lock files of the receiver's ports.
#pragma once

struct ReceiverLink;

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

// Lock-file path of a device ("/run/lock/LCK..ttyUSB8"); returns buf.
const char* lock_file_path(const char* device, char* buf, unsigned size);
