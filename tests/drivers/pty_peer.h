// SPDX-License-Identifier: BSD-2-Clause
// Pseudo-terminals that play a module's ports for the in-process driver tests, and what those tests share.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "receiver/link.h"
#include "support/e2e.h"
#include "support/harness.h"
#include "support/in_root.h"
#include "support/pty_peer.h"

namespace peer {

// Every driver test runs on the test clock: the drivers' pauses (settling,
// between commands, lock retries) move it instead of sitting out real
// seconds, and the durations the tests look at are read from it.
struct PausesAdvance : ::testing::Environment {
    void SetUp() override { clock_test_start(TestClock::kPausesAdvance); }
    void TearDown() override { clock_test_end(); }
};
inline ::testing::Environment* const kPausesAdvance = ::testing::AddGlobalTestEnvironment(new PausesAdvance);

// One pseudo-terminal whose slave is linked into the process root under a
// router path ("/dev/ttyUSB8").
using Pty = th::PtyPeer;

// A control port that answers every command line from a table (default
// "OK\r\n") and records the commands in order.
struct AtPort {
    Pty pty;
    std::map<std::string, std::string> replies;  // command without "\r" -> reply
    std::function<void(const std::string&)> on_command;

    explicit AtPort(const std::string& path) : pty(path) {}
    ~AtPort() { stop(); }

    void start()
    {
        running_ = true;
        thread_ = std::thread([this] { loop(); });
    }
    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<std::string> commands()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

private:
    void loop()
    {
        std::string line;
        while (running_) {
            pollfd p{pty.master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buf[256];
            ssize_t n = read(pty.master, buf, sizeof buf);
            if (n <= 0) {
                // The slave is closed (EIO) until the driver opens it again.
                usleep(20000);
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\r' && buf[i] != '\n') {
                    line += buf[i];
                    continue;
                }
                if (line.empty())
                    continue;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    commands_.push_back(line);
                }
                // Before the reply, so that the driver sees what it does
                // (a stop request) at its next step.
                if (on_command)
                    on_command(line);
                auto it = replies.find(line);
                pty.send(it == replies.end() ? std::string("\r\nOK\r\n") : it->second);
                line.clear();
            }
        }
    }

    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> commands_;
};

// A module with a control port that answers from replies and one data port.
struct AtModule {
    AtPort control;
    Pty data;

    AtModule(const std::string& control_path, const std::string& data_path, std::map<std::string, std::string> r)
        : control(control_path), data(data_path)
    {
        control.replies = std::move(r);
        control.start();
    }
};

// Another live process that holds a port's lock.
struct Holder {
    pid_t pid = -1;
    std::string text;

    explicit Holder(const std::string& tty)
    {
        pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        text = th::pid_text(pid);
        th::write_file(th::lock_of(tty), text);
    }
    ~Holder()
    {
        if (kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

// Command lists one after the other.
inline std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// What a call prints on standard output.
template <typename F>
std::string stdout_of(F&& f)
{
    std::fflush(stdout);
    char tmpl[] = "/tmp/gnssd-stdout-XXXXXX";
    int fd = mkstemp(tmpl);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = th::read_file(tmpl);
    unlink(tmpl);
    return text;
}

// The status page's warning while the receive diversity antenna is off.
inline const std::string kAntennaWarning =
    "</td></tr><tr><td><table><tr><td nowrap><i class=\"color_red\">UMTS receive diversity antenna is disabled "
    "now!</i></td></tr>";

// A link that holds no port yet.
inline std::unique_ptr<ReceiverLink> new_link()
{
    auto link = std::make_unique<ReceiverLink>();
    link->fd = -1;
    return link;
}

}  // namespace peer
