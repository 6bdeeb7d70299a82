// SPDX-License-Identifier: BSD-2-Clause
// In-process tests under the simulation root: the root set before the first case, router paths below it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/inproc.h"

namespace th {

// The root is in force before any case of the program runs: whatever a case
// does first (its first log line decides the log mirror once) finds it.
struct RootFirst : ::testing::Environment {
    void SetUp() override { process_root(); }
};
inline ::testing::Environment* const kRootFirst = ::testing::AddGlobalTestEnvironment(new RootFirst);

// A router path ("/dev/ttyUSB8") below the root.
inline std::string in_root(const std::string& router_path)
{
    return process_root() + router_path;
}

// The lock file of a tty ("ttyUSB8") below the root.
inline std::string lock_of(const std::string& tty)
{
    return in_root("/run/lock/LCK.." + tty);
}

}  // namespace th
