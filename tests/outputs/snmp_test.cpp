// SPDX-License-Identifier: BSD-2-Clause
// SNMP reporter: value slots, the "snmp" answers and the trap worker.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/settings.h"
#include "outputs/snmp.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "support/harness.h"
#include "support/inproc.h"
#include "support/slots.h"

using namespace std::chrono_literals;

namespace {

// Stand-in trap tool: each argument on one line (backslash, line feed and
// carriage return escaped), then "\end <seconds>" per call; then sleeps the
// seconds in trap.sleep and exits with the number in trap.exit.
void install_trap_tool()
{
    const std::string& root = th::process_root();
    const std::string path = root + "/bin/snmptrap";
    th::write_file(path, "#!/bin/sh\nR='" + root + "'\n" + R"SH(
awk -- 'BEGIN {
    for (i = 1; i < ARGC; i++) {
        s = ARGV[i]; out = ""
        for (j = 1; j <= length(s); j++) {
            c = substr(s, j, 1)
            if (c == "\\") c = "\\\\"; else if (c == "\n") c = "\\n"; else if (c == "\r") c = "\\r"
            out = out c
        }
        print out
    }
    exit
}' "$@" >> "$R/trap.log"
# Read before the record ends: a test that sees the record whole may change
# these files for the next call at once.
code=$(cat "$R/trap.exit" 2>/dev/null)
pause=$(cat "$R/trap.sleep" 2>/dev/null)
printf '\\end %s\n' "$(date +%s.%N)" >> "$R/trap.log"
[ -n "$pause" ] && sleep "$pause"
exit "${code:-0}"
)SH");
    chmod(path.c_str(), 0755);
    for (const char* name : {"/trap.log", "/trap.exit", "/trap.sleep"})
        unlink((root + name).c_str());
    // A product outside the "ZAR" family, so the worker runs.
    th::write_file(root + "/usr/bin/status", "#!/bin/sh\necho \"$*\" >> \"$0.log\"\necho 'Product Name: RTR-5200'\n");
    chmod((root + "/usr/bin/status").c_str(), 0755);
    static const std::string search = root + "/bin:" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    setenv("PATH", search.c_str(), 1);
}

// Waits for a line of the log mirror on the captured standard error.
bool wait_log(const th::StderrCapture& err, const std::string& what)
{
    return th::wait_until([&] { return err.text().find(what) != std::string::npos; }, std::chrono::seconds(10));
}

struct Trap {
    std::vector<std::string> args;
    double time;
};

std::vector<Trap> traps()
{
    std::vector<Trap> out;
    Trap cur;
    std::string log = th::read_file(th::process_root() + "/trap.log");
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t nl = log.find('\n', pos);
        if (nl == std::string::npos)
            break;  // a record still being written
        std::string line = log.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.rfind("\\end ", 0) == 0) {
            cur.time = std::atof(line.c_str() + 5);
            out.push_back(cur);
            cur = Trap{};
        } else {
            cur.args.push_back(line);
        }
    }
    return out;
}

std::size_t wait_traps(std::size_t n, int seconds = 10)
{
    th::wait_until([&] { return traps().size() >= n; }, std::chrono::seconds(seconds));
    return traps().size();
}

// Traps as the test saw them arrive, each stamped with the reading of the
// test clock when it was first seen whole.
struct TrapWatch {
    std::vector<long long> seen;
    std::size_t look()
    {
        const std::size_t n = traps().size();
        while (seen.size() < n)
            seen.push_back(monotonic_ms());
        return n;
    }
};

constexpr long long kStepMs = 100;

// Moves the test clock on a step at a time until trap n has been seen (true)
// or the clock has moved limit_ms (false), calling step before each step
// (new values, as a receiver delivers them). The trap is looked for between
// every two steps, so it is stamped no later than the step after the tool
// wrote it, and never later than the worker could have reaped the tool. At
// due_ms, when the trap is expected, the worker gets real time to start the
// tool; otherwise a step takes a few milliseconds. The first pause begins
// whenever the new worker first reads the clock, so the first trap is not
// waited for as long.
bool advance_to_trap(TrapWatch& watch, std::size_t n, long long due_ms, long long limit_ms,
                     const std::function<void()>& step = {}, std::chrono::milliseconds due_wait = 2s)
{
    const long long end = monotonic_ms() + limit_ms;
    bool waited = false;
    while (watch.look() < n) {
        if (monotonic_ms() >= end)
            return false;
        if (step)
            step();
        clock_test_advance(kStepMs);
        const bool due = !waited && monotonic_ms() >= due_ms;
        waited = waited || due;
        th::settle([&] { return watch.look() >= n; }, due ? due_wait : 10ms);
    }
    return true;
}

// Whether a trap tool of the worker is running, has ended but is not reaped
// yet, or is gone: the only children of this test program are the tools.
enum class Tool { gone, running, ended };
Tool trap_tool()
{
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return Tool::gone;
    return info.si_pid != 0 ? Tool::ended : Tool::running;
}

// After a trap was seen: once its tool has ended (in real time), one step of
// the clock ends the worker's wait for it, and the worker reaps it and
// begins its next pause at the reading after that step.
bool let_worker_reap()
{
    if (!th::wait_until([] { return trap_tool() != Tool::running; }, 10s))
        return false;
    clock_test_advance(kStepMs);
    return th::wait_until([] { return trap_tool() == Tool::gone; }, 10s);
}

std::string walk(void* reporter, const char* args)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return "socketpair failed";
    snmp_walk(reporter, args, sv[0]);
    close(sv[0]);
    std::string out;
    char buf[64];
    ssize_t n;
    while ((n = read(sv[1], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(sv[1]);
    return out;
}

PositionReport full_report()
{
    PositionReport r = munich();
    r.updated = 1;
    return r;
}

// The slots of the full report.
const std::vector<std::string> kSlots = {"121519.00", "4807.038N", "01131.000E", "545.4", "08",
                                         "1",         "022.4",     "084.4",      "081226"};

SnmpReportSettings settings_of(uint32_t enabled, const char* ipaddr, uint32_t period, uint32_t halt)
{
    SnmpReportSettings s{};
    s.enabled = enabled;
    s.ipaddr = const_cast<char*>(ipaddr);
    s.period = period;
    s.period_halt = halt;
    return s;
}

const char* const kOid[] = {"1.3.6.1.4.1.99991.7.1.0", "1.3.6.1.4.1.99991.7.2.0", "1.3.6.1.4.1.99991.7.3.0",
                            "1.3.6.1.4.1.99991.7.4.0", "1.3.6.1.4.1.99991.7.5.0", "1.3.6.1.4.1.99991.7.6.0",
                            "1.3.6.1.4.1.99991.7.7.0", "1.3.6.1.4.1.99991.7.8.0", "1.3.6.1.4.1.99991.7.9.0"};

std::vector<std::string> expected_args(const std::string& ipaddr, const std::vector<std::string>& values)
{
    std::vector<std::string> a = {"-c", "tarnis", "-s", "1001", "-R", ipaddr};
    for (int i = 0; i < 9; ++i) {
        a.push_back(kOid[i]);
        a.push_back(i == 4 ? "i" : "s");
        a.push_back(values[i]);
    }
    return a;
}

TEST(SnmpWalk, SlotsAndAnswers)
{
    // The product lookup of an earlier trap test (in a repeated run) is not
    // this one's.
    unlink((th::process_root() + "/usr/bin/status.log").c_str());
    EXPECT_EQ(walk(nullptr, "1"), "N/A") << "no reporter";

    SnmpReportSettings s = settings_of(0, "10.0.0.1", 1, 1);
    SnmpReporter* r = snmp_open(&s);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(walk(r, "1"), "N/A") << "before the first update";

    PositionReport rep = full_report();
    rep.updated = 0;
    snmp_update(r, &rep, 1);
    EXPECT_EQ(walk(r, "1"), "N/A") << "a report that was not updated is ignored";

    struct Case {
        const char* legend;
        void (*edit)(PositionReport*);
        std::vector<std::string> slots;
    } cases[] = {
        {"all items present", [](PositionReport*) {}, kSlots},
        {"all items empty",
         [](PositionReport* p) {
             PositionReport e{};
             e.updated = 1;
             *p = e;
         },
         {"N/A", "N/A", "N/A", "N/A", "0", "", "N/A", "N/A", "N/A"}},
        {"empty numbers, hemispheres present",
         [](PositionReport* p) {
             p->latitude[0] = '\0';
             p->longitude[0] = '\0';
         },
         {"121519.00", "N/AN", "N/AE", "545.4", "08", "1", "022.4", "084.4", "081226"}},
        {"fields filled to their width",
         [](PositionReport* p) {
             put_all(p->fix_time, "12345678901", p->latitude, "1234567890123", p->lat_hemisphere, "S", p->longitude,
                     "1234567890123", p->lon_hemisphere, "W", p->altitude, "1234567", p->satellites, "123",
                     p->fix_quality, "123", p->date, "123456789");
         },
         {"12345678901", "1234567890123S", "1234567890123W", "1234567", "123", "123", "022.4", "084.4", "123456789"}},
    };
    for (const auto& c : cases) {
        PositionReport p = full_report();
        c.edit(&p);
        snmp_update(r, &p, 1);
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(walk(r, std::to_string(i + 1).c_str()), c.slots[i]) << c.legend << ", slot " << i + 1;
    }

    // Slot numbers: out of range or not a number answer "N/A"; without a
    // worker the values stay available after every query.
    struct Query {
        const char* args;
        const char* reply;
    } queries[] = {{"0", "N/A"},
                   {"10", "N/A"},
                   {"x", "N/A"},
                   {"", "N/A"},
                   {"-1", "N/A"},
                   {"4294967297", "N/A"},
                   {"3 junk", "01131.000E"},
                   {"09", "081226"},
                   {"+2", "4807.038N"}};
    rep = full_report();
    snmp_update(r, &rep, 0);
    for (const auto& q : queries)
        EXPECT_EQ(walk(r, q.args), q.reply) << "args \"" << q.args << "\"";
    snmp_close(r);
    snmp_close(nullptr);

    // Disabled: no worker and no product lookup.
    EXPECT_FALSE(th::file_exists(th::process_root() + "/usr/bin/status.log"));
}

TEST(SnmpTrap, ArgumentsArriveVerbatimAndFreshIsClearedOrKept)
{
    install_trap_tool();
    const std::string root = th::process_root();
    const std::string ipaddr = "127.0.0.1;touch " + root + "/pwned1 $(touch " + root + "/pwned2)";
    th::TestClockRun clock;
    SnmpReportSettings s = settings_of(1, ipaddr.c_str(), 1, 1);
    SnmpReporter* r = snmp_open(&s);
    ASSERT_NE(r, nullptr);
    const long long opened = monotonic_ms();
    TrapWatch watch;

    PositionReport p = full_report();
    put_all(p.fix_time, "$(id>x)", p.latitude, "`id`;a b", p.lat_hemisphere, "|", p.longitude, "*", p.lon_hemisphere,
            "", p.altitude, "'\"\\&", p.fix_quality, "", p.speed_knots, "a\nb\rc");
    snmp_update(r, &p, 1);
    ASSERT_TRUE(advance_to_trap(watch, 1, opened + 1000, 5000, {}, 200ms));
    EXPECT_GE(watch.seen[0] - opened, 1000);
    std::vector<std::string> values = {"$(id>x)", "`id`;a b|", "*",     "'\"\\\\&", "08",
                                       "",        "a\\nb\\rc", "084.4", "081226"};
    EXPECT_EQ(traps()[0].args, expected_args(ipaddr, values));
    EXPECT_FALSE(th::file_exists(root + "/pwned1"));
    EXPECT_FALSE(th::file_exists(root + "/pwned2"));
    // The successful trap cleared the values until the next update.
    ASSERT_TRUE(let_worker_reap());
    EXPECT_TRUE(th::wait_until([&] { return walk(r, "9") == "N/A"; }, 5s));

    // A failing trap keeps them and is sent again after the next pause
    // without a new update.
    th::write_file(root + "/trap.exit", "1\n");
    snmp_update(r, &p, 1);
    ASSERT_TRUE(advance_to_trap(watch, 2, monotonic_ms() + 1000, 5000));
    ASSERT_TRUE(let_worker_reap());
    ASSERT_TRUE(advance_to_trap(watch, 3, monotonic_ms() + 1000, 5000));
    EXPECT_GE(watch.seen[2] - watch.seen[1], 1000) << "the failed trap is tried again after a pause, not at once";
    EXPECT_EQ(walk(r, "9"), "081226");
    EXPECT_EQ(traps()[2].args, traps()[1].args);
    unlink((root + "/trap.exit").c_str());
    ASSERT_TRUE(let_worker_reap());
    ASSERT_TRUE(advance_to_trap(watch, 4, monotonic_ms() + 1000, 5000));
    ASSERT_TRUE(let_worker_reap());
    EXPECT_TRUE(th::wait_until([&] { return walk(r, "9") == "N/A"; }, 5s));
    snmp_close(r);
}

TEST(SnmpTrap, PaceFollowsTheMovingFlag)
{
    // The worker starts as if moving, but it reads the flag when its pause
    // begins, so a halted update that gets there first already shortens the
    // first pause; either way no trap comes before one second. After that the
    // pause follows the flag of the latest update: one period from the end of
    // one trap to the next, far from the other period. All on the test clock,
    // with new values at every step of it.
    struct Case {
        const char* legend;
        int moving;
        uint32_t period;
        uint32_t halt;
        long long pause;  // ms between traps by the flag
        long long other;  // ms of the other period
    } cases[] = {{"moving", 1, 1, 3600, 1000, 3600000}, {"halted", 0, 8, 1, 1000, 8000}};
    const PositionReport p = full_report();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        install_trap_tool();
        th::TestClockRun clock;
        SnmpReportSettings s = settings_of(1, "192.0.2.1", c.period, c.halt);
        SnmpReporter* r = snmp_open(&s);
        ASSERT_NE(r, nullptr);
        const long long opened = monotonic_ms();
        TrapWatch watch;
        const auto feed = [&] { snmp_update(r, &p, c.moving); };
        feed();
        ASSERT_TRUE(advance_to_trap(watch, 1, opened + c.pause, 10000, feed, 200ms));
        for (std::size_t n = 2; n <= 4; ++n) {
            ASSERT_TRUE(let_worker_reap());
            ASSERT_TRUE(advance_to_trap(watch, n, monotonic_ms() + c.pause, 10000, feed));
        }
        snmp_close(r);
        const auto t = traps();
        ASSERT_EQ(t.size(), 4u);
        EXPECT_GE(watch.seen[0] - opened, 1000) << "the first trap waits one period";
        for (std::size_t i = 1; i < watch.seen.size(); ++i) {
            const long long gap = watch.seen[i] - watch.seen[i - 1];
            EXPECT_GE(gap, c.pause) << "trap " << i;
            // The worker's next pause begins when it has reaped the tool, a
            // step after the trap; the other period would be far longer.
            EXPECT_LE(gap, c.pause + 1000) << "trap " << i;
            EXPECT_LT(gap, c.other) << "trap " << i;
        }
        EXPECT_EQ(t[0].args, expected_args("192.0.2.1", kSlots));
    }
}

TEST(SnmpTrap, NoPauseSendsOneTrapPerUpdateAndRefusesOverlongLines)
{
    install_trap_tool();
    const std::string root = th::process_root();
    th::write_file(root + "/trap.exit", "1\n");
    SnmpReportSettings s = settings_of(1, "192.0.2.1", 0, 0);
    SnmpReporter* r = snmp_open(&s);
    ASSERT_NE(r, nullptr);
    const PositionReport p = full_report();
    th::StderrCapture err;
    // Even failing traps are not repeated back to back: one per update.
    for (std::size_t n = 1; n <= 3; ++n) {
        snmp_update(r, &p, 0);
        ASSERT_EQ(wait_traps(n), n);
    }
    EXPECT_TRUE(wait_log(err, "gps: err: system call failed (256)"));
    // A trap tool that cannot be executed reports what the shell would.
    unlink((root + "/bin/snmptrap").c_str());
    snmp_update(r, &p, 0);
    EXPECT_TRUE(wait_log(err, "gps: err: system call failed (32512)"));
    snmp_close(r);
    EXPECT_EQ(traps().size(), 3u);

    // An address that would overflow the traditional command line is refused,
    // not cut; the values stay fresh.
    unlink((root + "/trap.exit").c_str());
    const std::string huge(1000, '1');
    s = settings_of(1, huge.c_str(), 0, 0);
    r = snmp_open(&s);
    ASSERT_NE(r, nullptr);
    snmp_update(r, &p, 0);
    EXPECT_TRUE(wait_log(err, "gps: err: SNMP trap refused: command line of 1325 bytes exceeds 1027"));
    EXPECT_EQ(walk(r, "4"), "545.4");
    snmp_close(r);
    EXPECT_EQ(traps().size(), 3u);
}

TEST(SnmpTrap, AHangingToolIsKilledAndHoldsUpNeitherUpdatesNorClose)
{
    install_trap_tool();
    const std::string root = th::process_root();
    th::write_file(root + "/trap.sleep", "60\n");
    snmp_set_trap_limit_ms(1000);
    th::TestClockRun clock;
    SnmpReportSettings s = settings_of(1, "192.0.2.1", 1, 1);
    SnmpReporter* r = snmp_open(&s);
    ASSERT_NE(r, nullptr);
    const long long opened = monotonic_ms();
    TrapWatch watch;
    th::StderrCapture err;
    const PositionReport p = full_report();
    snmp_update(r, &p, 1);
    ASSERT_TRUE(advance_to_trap(watch, 1, opened + 1000, 5000, {}, 200ms));
    // The tool hangs: updates and queries go on at once all the same.
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        snmp_update(r, &p, 1);
        EXPECT_EQ(walk(r, "4"), "545.4");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    // Killed at the limit of the service clock; the values stay fresh and
    // the next trap is tried after the next pause.
    const std::string killed = "gps: err: snmp_trap_main - trap tool still running after 1 s, killed";
    const long long end = monotonic_ms() + 10000;
    while (err.text().find(killed) == std::string::npos && monotonic_ms() < end) {
        clock_test_advance(kStepMs);
        th::settle([&] { return err.text().find(killed) != std::string::npos; }, 10ms);
    }
    EXPECT_GE(monotonic_ms() - watch.seen[0], 1000) << "killed before its time";
    ASSERT_NE(err.text().find(killed), std::string::npos) << err.text();
    ASSERT_TRUE(advance_to_trap(watch, 2, monotonic_ms() + 1000, 5000));
    // Closing does not wait for the tool either.
    const auto t1 = std::chrono::steady_clock::now();
    snmp_close(r);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(500));
    EXPECT_EQ(err.text().find("system call failed"), std::string::npos) << err.text();
    snmp_set_trap_limit_ms(30000);
    unlink((root + "/trap.sleep").c_str());
}

}  // namespace
