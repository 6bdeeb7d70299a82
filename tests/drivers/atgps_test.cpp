// SPDX-License-Identifier: BSD-2-Clause
// AT!GPS family's own parts: the firmware test, the control-port attempts and the router tools.
#include <cstring>
#include <optional>
#include <sstream>

#include "drivers/families.h"
#include "pty_peer.h"

namespace {

TEST(AtgpsDriver, FirmwareTest)
{
    struct Case {
        const char* legend;
        const char* reply;
        int ok;
        const char* text;
    };
    const std::string long_rev = "Model: MC8705\r\nRevision: S" + std::string(300, 'W') + "\r\nOK\r\n";
    const Case cases[] = {
        {"no model line (module starting)", "\r\nERROR\r\n", 0, "unknown"},
        {"empty reply", "", 0, "unknown"},
        {"other model: no revision test", "Model: MC7710\r\nRevision: 10\r\nOK\r\n", 1, "unknown"},
        {"MC8705 without revision", "Model: MC8705\r\nOK\r\n", 0, "unknown"},
        {"MC8705 second character '2'", "Model: MC8705\r\nRevision: T2.04 build\r\nOK\r\n", 0, "T2.04"},
        {"MC8705 second character '0'", "Model: MC8705\r\nRevision: 10\r\nOK\r\n", 0, "10"},
        {"MC8705 second character '3'", "Model: MC8705\r\nRevision: T3.01\r\nOK\r\n", 1, "T3.01"},
        {"MC8705 letter release", "Model: MC8705\r\nRevision: SWI6800V2_02.07\r\nOK\r\n", 1, "SWI6800V2_02.07"},
        {"MC8705 one-character revision", "Model: MC8705\r\nRevision: 9\r\nOK\r\n", 0, "9"},
        {"MC8705 revision at the very end", "Model: MC8705\r\nRevision: ", 0, ""},
        {"first character taken whatever it is", "Model: MC8705\r\nRevision:  5x\r\n", 1, " 5x"},
        {"second character is a line end", "Model: MC8705\r\nRevision: 7\n8\r\n", 0, "7"},
        {"high byte counts as unsigned", "Model: MC8705\r\nRevision: X\xe9z\r\n", 1, "X\xe9z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        char text[64];
        EXPECT_EQ(atgps_firmware_check(c.reply, text, sizeof text), c.ok);
        EXPECT_STREQ(text, c.text);
    }

    // A revision longer than the buffer is cut; the bytes behind it stay.
    struct {
        char text[16];
        char guard[16];
    } guarded;
    std::memset(guarded.guard, 0x5A, sizeof guarded.guard);
    EXPECT_EQ(atgps_firmware_check(long_rev.c_str(), guarded.text, sizeof guarded.text), 1);
    std::string cut(15, 'W');
    cut[0] = 'S';
    EXPECT_EQ(std::string(guarded.text), cut);
    for (char g : guarded.guard)
        EXPECT_EQ(g, 0x5A);
    // Buffers too small for a second character still judge safely.
    char two[2];
    EXPECT_EQ(atgps_firmware_check(long_rev.c_str(), two, sizeof two), 0);
    EXPECT_STREQ(two, "S");
}

std::vector<unsigned> g_pauses;
std::function<void()> g_on_pause;

void record_pause(unsigned seconds)
{
    g_pauses.push_back(seconds);
    if (g_on_pause)
        g_on_pause();
}

// The module's control port may need ten tries of 5-second lock waits with
// 10-second pauses: the loop is exercised here with the pause recorded
// instead of slept.
TEST(AtgpsDriver, ControlPortAttempts)
{
    struct Case {
        const char* legend;
        bool port, held;
        int result;
        unsigned pauses;
        const char* message;  // logged once per failed attempt
        int messages;
    } cases[] = {
        {"missing port: ten attempts, nine pauses, nothing left locked", false, false, -1, 9,
         "gps: err: open(/dev/ttyUSB8) error:", 10},
        {"port free at once: no pause", true, false, 0, 0, "gps: err:", 0},
        // Its lock is respected; the second attempt succeeds and is followed
        // by one more pause.
        {"held by another live process for the first attempt", true, true, 0, 2,
         "gps: err: device(/dev/ttyUSB8) is locked\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        std::optional<peer::Pty> control;
        std::optional<peer::Holder> holder;
        if (c.port)
            control.emplace("/dev/ttyUSB8");
        if (c.held)
            holder.emplace("ttyUSB8");
        g_pauses.clear();
        g_on_pause = [&holder] { holder.reset(); };
        ReceiverLink link{};
        th::StderrCapture capture;
        ASSERT_EQ(atgps_open_control(&link, 10, record_pause), c.result);
        EXPECT_EQ(g_pauses, std::vector<unsigned>(c.pauses, 10));
        EXPECT_EQ(th::count_of(capture.text(), c.message), c.messages) << capture.text();
        EXPECT_EQ(th::file_exists(th::lock_of("ttyUSB8")), c.result == 0);
        if (c.result == 0) {
            EXPECT_GE(link.fd, 0);
            EXPECT_STREQ(link.device_path, "/dev/ttyUSB8");
            close(link.fd);
        } else {
            EXPECT_EQ(link.fd, -1);
        }
        unlink(th::lock_of("ttyUSB8").c_str());
    }
    g_on_pause = nullptr;
}

// The simulator's stand-in gsmat, gsmpwr and service tools on PATH, acting
// on a simulated module whose state the cases set directly.
struct Tools {
    std::string root = th::process_root();
    th::Process sim;

    Tools()
    {
        std::remove((root + "/sim/ready").c_str());
        sim.start({th::sim_bin(), "--root", root, "--family", "atgps"}, {}, root + "/sim-process.log");
        EXPECT_TRUE(th::wait_until([&] { return th::file_exists(root + "/sim/ready"); }, std::chrono::seconds(10)));
        static const std::string path = root + "/bin:" + std::getenv("PATH");
        setenv("PATH", path.c_str(), 1);
    }
    ~Tools() { sim.stop(SIGTERM, std::chrono::seconds(5)); }

    void module(const char* model, int board, int gpssel, int fixed = 0, const char* power = "on")
    {
        th::write_file(root + "/sim/atgps-model", std::string(model) + "\n");
        th::write_file(root + "/sim/atgps-gpssel", std::to_string(gpssel) + "\n");
        th::write_file(root + "/sim/atgps-fixed", std::to_string(fixed) + "\n");
        th::write_file(root + "/sim/atgps-power", std::string(power) + "\n");
        th::write_file(root + "/dev/gpio", "board_code=" + std::to_string(board) + "\n");
        for (const char* name : {"atgps-cnd", "atgps-crash", "atgps-hang", "atgps-hang.pid", "atgps-pwr-fail"})
            std::remove((root + "/sim/" + name).c_str());
        th::write_file(root + "/sim/tools.log", "");
    }
    int gpssel() { return std::atoi(th::read_file(root + "/sim/atgps-gpssel").c_str()); }
    std::vector<std::string> calls()
    {
        std::vector<std::string> out;
        std::istringstream in(th::read_file(root + "/sim/tools.log"));
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    // A gsmat that dies on the GPSSEL query, as on a broken system.
    void break_gpssel_query() { th::write_file(root + "/sim/atgps-crash", "AT!CUSTOM?\n"); }
    // What a case left: its message in the log (none: no line holding
    // quiet), GPSSEL afterwards and the tool calls in order.
    void expect(const std::string& log, const char* message, const char* quiet, int gpssel_after,
                const std::vector<std::string>& want_calls)
    {
        if (*message) {
            EXPECT_NE(log.find(std::string(message) + "\n"), std::string::npos) << log;
        } else {
            EXPECT_EQ(log.find(quiet), std::string::npos) << log;
        }
        EXPECT_EQ(gpssel(), gpssel_after);
        EXPECT_EQ(calls(), want_calls);
    }
};

const std::string Q = "gsmat AT!CUSTOM?";
const std::string kEnter = "gsmat AT!ENTERCND=\"K953\"";
const std::string kSet = "gsmat AT!CUSTOM=\"GPSSEL\",1";
const std::string kClear = "gsmat AT!CUSTOM=\"GPSSEL\",0";
const std::vector<std::string> kRestart = {"service ppp stop", "gsmpwr off", "gsmpwr on", "service ppp start"};
const std::vector<std::string> kProbes(4, "gsmat ATI");
const char* const kGps = "gps: notice: using internal antenna input GPS";

using peer::join;

struct AntennaCase {
    const char* legend;
    const char* model;
    int board;
    uint32_t antenna_input;
    int gpssel_before;
    int result;
    const char* message;  // "" when none is logged
    int gpssel_after;
    std::vector<std::string> calls;
};

void run_antenna_cases(Tools& tools, const std::vector<AntennaCase>& cases)
{
    for (const AntennaCase& c : cases) {
        SCOPED_TRACE(c.legend);
        tools.module(c.model, c.board, c.gpssel_before);
        ReceiverLink link{};
        link.antenna_input = c.antenna_input;
        th::StderrCapture capture;
        EXPECT_EQ(atgps_antenna_check(&link), c.result);
        tools.expect(capture.text(), c.message, "antenna input", c.gpssel_after, c.calls);
    }
}

TEST(AtgpsDriver, AntennaInputKeptWhenRight)
{
    Tools tools;
    const std::vector<std::string> probe_query = join({kProbes, {Q}});
    run_antenna_cases(tools, {
                                 {"no MC7xxx: no query, no message", "MC8705", 4, 0, 1, 0, "", 1, kProbes},
                                 {"MC7304 takes GPS", "MC7304", 4, 0, 0, 0, kGps, 0, probe_query},
                                 {"board 10 takes GPS", "MC7710", 10, 0, 0, 0, kGps, 0, probe_query},
                                 {"MC7710 board 3 asked for GPS", "MC7710", 3, 2, 0, 0, kGps, 0, probe_query},
                                 {"MC7710 board 3 left on AUX", "MC7710", 3, 1, 1, 0,
                                  "gps: notice: using internal antenna input AUX", 1, probe_query},
                             });
    // A GPSSEL query that fails is no answer: the open does not go on.
    tools.module("MC7710", 3, 0);
    tools.break_gpssel_query();
    ReceiverLink link{};
    th::StderrCapture capture;
    EXPECT_EQ(atgps_antenna_check(&link), -1);
    EXPECT_NE(capture.text().find("gps: err: GPSSEL test failed (9)\n"), std::string::npos) << capture.text();
}

TEST(AtgpsDriver, AntennaInputSwitched)
{
    Tools tools;
    const std::vector<std::string> to_gps = join({kProbes, {Q, Q, kEnter, kClear, Q}, kRestart});
    const std::vector<std::string> to_aux = join({kProbes, {Q, Q, kEnter, kSet, Q}, kRestart});
    run_antenna_cases(tools, {
                                 {"board 2 with GPSSEL set", "MC7710", 2, 0, 1, -1,
                                  "gps: notice: switching internal antenna input to GPS", 0, to_gps},
                                 {"MC7710 board 3 antenna_input 0 without GPSSEL", "MC7710", 3, 0, 0, -1,
                                  "gps: notice: switching internal antenna input to AUX", 1, to_aux},
                                 {"MC7750 needs GPS whatever antenna_input says", "MC7750", 3, 0, 1, -1,
                                  "gps: notice: switching internal antenna input to GPS", 0, to_gps},
                             });
}

TEST(AtgpsDriver, InstallUninstallAndNotice)
{
    Tools tools;
    struct Case {
        const char* legend;
        bool install;
        const char* model;
        int gpssel_before;
        int fixed;
        const char* power;
        const char* message;  // "" when nothing is logged
        int gpssel_after;
        std::vector<std::string> calls;
        int power_on_failures = 0;
    };
    const std::vector<std::string> set_kept = {Q, kEnter, kSet, Q, "gsmat ATI"};
    // "gsmpwr on" tried again after each failure; PPP is started whatever came of it.
    auto restart_with = [](int power_on_calls) {
        std::vector<std::string> calls = {"service ppp stop", "gsmpwr off"};
        calls.insert(calls.end(), static_cast<std::size_t>(power_on_calls), "gsmpwr on");
        calls.push_back("service ppp start");
        return calls;
    };
    const Case cases[] = {
        {"install, already installed", true, "MC7710", 1, 0, "on", "gps: info: already installed, proceeding", 1, {Q}},
        {"uninstall when not installed", false, "MC7710", 0, 0, "on", "", 0, {Q}},
        {"install", true, "MC7710", 0, 0, "on", "", 1, join({{Q, kEnter, kSet, Q}, kRestart})},
        {"uninstall", false, "MC7710", 1, 0, "on", "", 0, join({{Q, kEnter, kClear, Q}, kRestart})},
        {"install, MC8705 keeps its setting", true, "MC8705", 0, 1, "on", "", 0, set_kept},
        {"uninstall, MC8705 keeps its setting", false, "MC8705", 1, 1, "on", "", 1, {Q, kEnter, kClear, Q, "gsmat ATI"}},
        {"install, other model keeps it", true, "MC7710", 0, 1, "on", "gps: err: GPSSEL set failed (256)", 0, set_kept},
        {"command mode refused", true, "MC7710", 0, 0, "off", "gps: err: ENTERCND set failed (256)", 0, {Q, kEnter}},
        {"gsmpwr on fails twice: tried again until the modem is on", true, "MC7710", 0, 0, "on",
         "gps: warning: gsmpwr on failed (256), trying again in 3 s", 1, join({{Q, kEnter, kSet, Q}, restart_with(3)}),
         2},
        {"gsmpwr on keeps failing: named in the log, PPP started all the same", false, "MC7710", 1, 0, "on",
         "gps: err: gsmpwr on failed (256) 4 times, the modem may stay off", 0,
         join({{Q, kEnter, kClear, Q}, restart_with(4)}), 9},
    };
    // The pauses between the attempts pass on the test clock every driver
    // test runs on; ending it here would leave the tests after this one on
    // real seconds.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        tools.module(c.model, 4, c.gpssel_before, c.fixed, c.power);
        if (c.power_on_failures > 0)
            th::write_file(tools.root + "/sim/atgps-pwr-fail", std::to_string(c.power_on_failures) + "\n");
        th::StderrCapture capture;
        if (c.install)
            atgps_install(nullptr);
        else
            atgps_uninstall(nullptr);
        tools.expect(capture.text(), c.message, "gps: ", c.gpssel_after, c.calls);
        if (c.power_on_failures > 0 && c.power_on_failures < 4) {
            EXPECT_EQ(th::read_file(tools.root + "/sim/atgps-power"), "on\n");
        }
    }

    tools.module("MC7710", 4, 0);
    tools.break_gpssel_query();
    {
        th::StderrCapture capture;
        atgps_install(nullptr);
        EXPECT_NE(capture.text().find("gps: err: GPSSEL test failed (9)\n"), std::string::npos);
        EXPECT_EQ(tools.calls(), std::vector<std::string>{Q});
    }

    // The notice prints its warning only while the AUX input is in use.
    for (const auto& [gpssel, want, warning] :
         {std::tuple{1, 10, peer::kAntennaWarning}, std::tuple{0, 1, std::string()}}) {
        SCOPED_TRACE(gpssel);
        tools.module("MC7710", 4, gpssel);
        int result = -1;
        EXPECT_EQ(peer::stdout_of([&] { result = atgps_notice(nullptr); }), warning);
        EXPECT_EQ(result, want);
    }
}

}  // namespace
