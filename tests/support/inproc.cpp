// SPDX-License-Identifier: BSD-2-Clause
// In-process test support: shared simulation root and standard-error capture.
#include "support/inproc.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "support/harness.h"

namespace th {

const std::string& process_root()
{
    static const std::string root = [] {
        const char* set = std::getenv("GNSSD_ROOT");
        if (set && *set) {
            make_root_dirs(set);
            return std::string(set);
        }
        // Lives until exit; forked children leave with _exit and keep it.
        static TempDir dir;
        make_root_dirs(dir.path);
        setenv("GNSSD_ROOT", dir.path.c_str(), 1);
        return dir.path;
    }();
    return root;
}

StderrCapture::StderrCapture()
{
    // Each capture counts its own messages: repeats of earlier cases in this
    // process must not hold the first ones back.
    plat_log_forget_repeats();
    char tmpl[] = "/tmp/gnssd-stderr-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return;
    path_ = tmpl;
    saved_fd_ = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    if (saved_fd_ >= 0) {
        dup2(saved_fd_, STDERR_FILENO);
        close(saved_fd_);
    }
    if (!path_.empty())
        unlink(path_.c_str());
}

std::string StderrCapture::text() const
{
    return path_.empty() ? std::string() : read_file(path_);
}

TestClockRun::TestClockRun(long long start_ms)
{
    clock_test_start(TestClock::kTestAdvances, start_ms);
}

TestClockRun::~TestClockRun()
{
    clock_test_end();
}

bool settle(const std::function<bool()>& pred, std::chrono::milliseconds real)
{
    return wait_until(pred, real, std::chrono::milliseconds(1));
}

bool advance_settled(long long ms, int workers)
{
    clock_test_advance(ms);
    return settle([&] { return clock_test_waits_ahead() >= workers; }, std::chrono::seconds(10));
}

}  // namespace th
