// SPDX-License-Identifier: BSD-2-Clause
// Process utilities: running tools, the status tool's lines and its cache.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/run.h"
#include "platform/status_tool.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "support/harness.h"
#include "support/inproc.h"
#include "support/pty_peer.h"

namespace {

void install_tool(const std::string& router_path, const std::string& body, mode_t mode = 0755)
{
    const std::string path = th::process_root() + router_path;
    th::write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), mode);
}

TEST(StatusValue, PicksTheValueOfTheFirstLineWithTheKey)
{
    const std::string v127(127, 'v');
    const std::string v128(128, 'v');
    struct Case {
        const char* legend;
        std::string output;
        const char* key;
        std::string expected;
    } cases[] = {
        {"plain line", "Serial: 1\nProduct Name: RTR-5200\nX: y\n", "Product Name", "RTR-5200"},
        {"last line without newline", "Serial: 1\nProduct Name: RTR", "Product Name", "RTR"},
        {"blanks before the colon", "Product Name   : RTR", "Product Name", "RTR"},
        {"key is a prefix of a longer label", "Product Name Long: A\nProduct Name: B", "Product Name", "A"},
        {"short key", "Product Name: RTR", "Prod", "RTR"},
        {"colon without blank, separator on a later line", "Product Name:RTR\nSerial: 1", "Product Name", "N/A"},
        {"colon without blank, separator later on the line", "Product Name:RTR: 7", "Product Name", "7"},
        {"first matching line decides", "Product Name:\nProduct Name: B", "Product Name", "N/A"},
        {"empty value", "Product Name: \nX: y", "Product Name", "N/A"},
        {"value of 127 characters", "Product Name: " + v127 + "\n", "Product Name", v127},
        {"value of 128 characters", "Product Name: " + v128 + "\n", "Product Name", "N/A"},
        {"key not at the line start", "My Product Name: A", "Product Name", "N/A"},
        {"leading empty lines", "\n\nProduct Name: A", "Product Name", "A"},
        {"missing key", "Serial: 1\n", "Product Name", "N/A"},
        {"empty output", "", "Product Name", "N/A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(status_value(c.output.c_str(), c.key), c.expected) << c.legend;
}

TEST(ProcRun, WaitStatusArgumentsAndDescriptors)
{
    th::process_root();
    int status = -1;
    struct Case {
        const char* legend;
        const char* program;
        int expected;
    } cases[] = {
        {"exit code", "false", 1 << 8},
        {"success", "true", 0},
        {"program that does not exist", "gnssd-no-such-tool", 1 << 8},
    };
    for (const auto& c : cases) {
        const char* argv[] = {c.program, nullptr};
        EXPECT_EQ(proc_run(argv, ProcStart{}, kProcNoLimit, nullptr, &status), 0) << c.legend;
        EXPECT_EQ(status, c.expected) << c.legend;
    }

    // Arguments arrive as given (no shell); the child holds only its three
    // standard descriptors and reads /dev/null.
    char text[256];
    ProcOutput out{.text = text, .size = sizeof text};
    int leak = open("/dev/null", O_RDONLY);  // not close-on-exec on purpose
    ASSERT_GE(leak, 3);
    const char* script = "printf '%s|' \"$#\" \"$1\" \"$2\"; ls /proc/self/fd | wc -l; cat";
    const char* argv[] = {"sh", "-c", script, "sh", "a b", "$(echo x);`id`", "3", nullptr};
    EXPECT_EQ(proc_run(argv, ProcStart{}, kProcNoLimit, &out, &status), 0);
    EXPECT_EQ(status, 0);
    // "ls" sees 0, 1, 2 and its own directory descriptor.
    EXPECT_EQ(std::string(text, out.length), "3|a b|$(echo x);`id`|4\n");
    close(leak);

    // Not captured and not the daemon's own: the output goes to /dev/null.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int keep_stdout = dup(1);
    dup2(fds[1], 1);
    const char* visible[] = {"sh", "-c", "echo visible", nullptr};
    EXPECT_EQ(proc_run(visible, ProcStart{}, kProcNoLimit, nullptr, &status), 0);
    dup2(keep_stdout, 1);
    close(keep_stdout);
    close(fds[1]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(th::PtyPeer::read_quiet(fds[0]), "") << "stdout not left at 1 means it went to /dev/null";
    close(fds[0]);
}

TEST(ProcRun, ToolsStartWithNoSignalBlockedOrIgnored)
{
    th::process_root();
    // As a worker thread runs: every signal blocked, and one ignored.
    sigset_t all, old_mask;
    sigfillset(&all);
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &all, &old_mask), 0);
    struct sigaction ignore = {}, old_term = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &old_term);
    char text[256];
    ProcOutput out{.text = text, .size = sizeof text};
    int status = -1;
    // The tool itself, not a shell, which changes its mask around each fork.
    const char* grep[] = {"grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status", nullptr};
    EXPECT_EQ(proc_run(grep, ProcStart{}, kProcNoLimit, &out, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(text, out.length), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    // A SIGTERM ends the tool (here one it sends itself before anything else).
    const char* self_kill[] = {"sh", "-c", "kill -TERM $$; echo alive", nullptr};
    EXPECT_EQ(proc_run(self_kill, ProcStart{}, kProcNoLimit, &out, &status), 0);
    sigaction(SIGTERM, &old_term, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << " " << text;
    EXPECT_EQ(std::string(text, out.length), "");
}

TEST(StatusRead, CachesOneSectionForWholeSeconds)
{
    const std::string calls = th::process_root() + "/status-calls";
    unlink(calls.c_str());
    install_tool("/usr/bin/status", "echo \"$*\" >> '" + calls + "'\nn=$(wc -l < '" + calls +
                                        "')\n"
                                        "echo \"Product Name: call$n\"\necho \"Section: $2\"\n");
    clock_test_start(TestClock::kTestAdvances, 1'000'900);
    struct Restore {
        ~Restore() { clock_test_end(); }
    } restore;
    EXPECT_STREQ(status_get("sys", "Product Name"), "call1");
    // Within one whole second of the stamp the output is reused.
    clock_test_advance(1000);
    EXPECT_STREQ(status_get("sys", "Product Name"), "call1");
    EXPECT_EQ(th::count_of(th::read_file(calls), "\n"), 1);
    // Two whole seconds later the tool runs again.
    clock_test_advance(1000);
    EXPECT_STREQ(status_get("sys", "Product Name"), "call2");
    // Another section runs the tool and replaces the cache.
    EXPECT_STREQ(status_get("net", "Section"), "net");
    EXPECT_STREQ(status_get("sys", "Product Name"), "call4");
    EXPECT_EQ(th::read_file(calls), "-v sys\n-v sys\n-v net\n-v sys\n");
}

TEST(StatusRead, FailingToolsGiveNothingAndAreNotCached)
{
    struct Case {
        const char* legend;
        std::string body;
        mode_t mode;
    } cases[] = {
        {"tool exits 1", "echo 'Product Name: X'\nexit 1\n", 0755},
        {"tool cannot be executed", "echo 'Product Name: X'\n", 0644},
        {"tool killed by a signal", "echo 'Product Name: X'\nkill -9 $$\n", 0755},
    };
    for (const auto& c : cases) {
        install_tool("/usr/bin/status", c.body, c.mode);
        EXPECT_STREQ(status_read("failing", 100), "") << c.legend;
        EXPECT_STREQ(status_get("failing", "Product Name"), "N/A") << c.legend;
    }
    unlink((th::process_root() + "/usr/bin/status").c_str());
    EXPECT_STREQ(status_read("failing", 100), "") << "tool missing";

    // Output beyond the pipe's capacity neither hangs nor is taken whole.
    install_tool("/usr/bin/status", "echo 'Product Name: Big'\nhead -c 200000 /dev/zero | tr '\\0' x\necho\n");
    const char* out = status_read("big", 0);
    EXPECT_LT(std::string(out).size(), 4096u);
}

}  // namespace
