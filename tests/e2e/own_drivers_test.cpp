// SPDX-License-Identifier: BSD-2-Clause
// The AT!GPS, AT$GPSP and stand-alone receiver families end to end: the daemon against the simulated router.
#include <sstream>

#include "e2e/fault_rig.h"

namespace {

using namespace fault_rig;
using Lines = std::vector<std::string>;

// An AT!GPS open sleeps 10 s before it starts; a failed open costs 11 s more.
constexpr auto kOpenWait = 40s;

struct Router : Rig {
    Router(const std::string& family, const Lines& args) { th::start_router_sim(sim, root, family, args); }

    Lines lines_of(const std::string& file) const
    {
        Lines out;
        std::istringstream in(th::read_file(path(file)));
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    // What the module received, as "PORT TEXT" without the final "\r".
    Lines commands() const { return th::sim_commands(root); }
    bool output_has(const std::string& text, std::chrono::milliseconds timeout = 15s) const
    {
        return th::wait_until([&] { return out("ttyS0").find(text) != std::string::npos; }, timeout);
    }
    bool log_has(const std::string& text, std::chrono::milliseconds timeout = kOpenWait) const
    {
        return daemon.wait_log(text, timeout);
    }
    bool no_locks() const
    {
        return present({"/run/lock/LCK..ttyUSB7", "/run/lock/LCK..ttyUSB8", "/run/lock/LCK..ttyUSB10",
                        "/run/lock/LCK..ttyS1"})
            .empty();
    }
};

// --- AT!GPS ------------------------------------------------------------------

const std::string Q = "gsmat AT!CUSTOM?";
const Lines kInstall = {Q, "gsmat AT!ENTERCND=\"K953\"", "gsmat AT!CUSTOM=\"GPSSEL\",1", Q};
const Lines kUninstall = {Q, "gsmat AT!ENTERCND=\"K953\"", "gsmat AT!CUSTOM=\"GPSSEL\",0", Q};
const Lines kRestart = {"service ppp stop", "gsmpwr off", "gsmpwr on", "service ppp start"};
const Lines kProbes(4, "gsmat ATI");
const Lines kTracking = on("/dev/ttyUSB8", {"ATI", "AT!GPSEND=0", "AT!GPSTRACK=1,120,50,1000,1"});

// Service start on an MC7710 that may use the AUX input: install sets GPSSEL
// and restarts the module, the open finds AUX in use and starts tracking.
void atgps_installs_tracks_and_stops()
{
    Router r("atgps", {"--opt", "model=MC7710", "--opt", "gpssel=0"});
    r.start_daemon();
    ASSERT_TRUE(r.output_has("$GPRMC", kOpenWait)) << r.log();
    EXPECT_EQ(r.lines_of("/sim/tools.log"), join({kInstall, kRestart, kProbes, {Q}}));
    EXPECT_TRUE(th::has(r.log(), "gps: notice: using internal antenna input AUX\n"));
    EXPECT_EQ(r.commands(), join({kTracking, {"/dev/ttyUSB7 $GPS_START"}}));
    EXPECT_TRUE(th::file_exists(r.path("/run/lock/LCK..ttyUSB7")));

    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_EQ(r.commands(), join({kTracking, {"/dev/ttyUSB7 $GPS_START", "/dev/ttyUSB7 $GPS_STOP"}}));
    EXPECT_TRUE(r.no_locks());
}

// Board 2 needs the GPS input: the setting that install made at service start
// is removed again by the first open (which then fails), and the next open
// tracks on the GPS input.
void atgps_board2_takes_back_the_setting()
{
    Router r("atgps", {"--board", "2", "--opt", "model=MC7710", "--opt", "gpssel=0"});
    r.start_daemon();
    ASSERT_TRUE(r.log_has("gps: notice: switching internal antenna input to GPS\n")) << r.log();
    ASSERT_TRUE(r.log_has("gps: err: initialization failed\n")) << r.log();
    ASSERT_TRUE(r.log_has("gps: notice: using internal antenna input GPS\n")) << r.log();
    ASSERT_TRUE(r.output_has("$GPRMC")) << r.log();
    EXPECT_EQ(r.lines_of("/sim/tools.log"),
              join({kInstall, kRestart, kProbes, {Q}, kUninstall, kRestart, kProbes, {Q}}));
    EXPECT_EQ(r.commands(), join({kTracking, {"/dev/ttyUSB7 $GPS_START"}}));
    ASSERT_TRUE(r.stop_daemon()) << r.log();
}

// An MC8705 is not probed for its antenna input; its firmware decides.
void atgps_mc8705_firmware_revisions()
{
    Router r("atgps", {"--opt", "model=MC8705", "--opt", "gpssel=1", "--opt", "firmware=T2.04_1"});
    r.start_daemon();
    ASSERT_TRUE(r.log_has("gps: err: bad FW version (T2.04_1)\n")) << r.log();
    EXPECT_EQ(r.commands(), on("/dev/ttyUSB8", {"ATI"}));
    EXPECT_TRUE(r.no_locks());
    th::write_file(r.path("/sim/atgps-firmware"), "T3.01_7\n");
    ASSERT_TRUE(r.output_has("$GPRMC", kOpenWait)) << r.log();
    EXPECT_EQ(r.commands(), join({on("/dev/ttyUSB8", {"ATI"}), kTracking, {"/dev/ttyUSB7 $GPS_START"}}));
    // Install found the setting in place; no open asked about it again.
    EXPECT_EQ(r.lines_of("/sim/tools.log"), join({{Q}, kProbes, kProbes}));
    EXPECT_TRUE(th::has(r.log(), "gps: info: already installed, proceeding\n"));
    EXPECT_EQ(r.log().find("antenna input"), std::string::npos);
    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_TRUE(r.no_locks());
}

// --- AT$GPSP -----------------------------------------------------------------

// Not ready twice (control port missing, then the mobile WAN service still
// initializing), then ready: the start, NMEA, and the stop at SIGTERM.
void gpsp_waits_until_ready_then_runs()
{
    Router r("gpsp", {"--opt", "mwan=Initializing"});
    const std::string control = r.path("/dev/ttyUSB8");
    const auto pts = std::filesystem::read_symlink(control);
    std::filesystem::remove(control);
    r.start_daemon();
    ASSERT_TRUE(r.log_has("gps: debug: /dev/ttyUSB8 serial_ready: 0, MWAN ready: 0, MWAN module on=1\n")) << r.log();
    ASSERT_TRUE(r.log_has("gps: notice: Waiting for initialization gps module\n"));
    std::filesystem::create_symlink(pts, control);
    ASSERT_TRUE(r.log_has("gps: debug: /dev/ttyUSB8 serial_ready: 1, MWAN ready: 0, MWAN module on=1\n")) << r.log();
    EXPECT_TRUE(r.commands().empty());
    th::write_file(r.path("/run/ppp/iface-m0.state"), "Connected\n");
    ASSERT_TRUE(r.output_has("$GPRMC", kOpenWait)) << r.log();
    EXPECT_TRUE(th::has(r.log(), "gps: debug: /dev/ttyUSB8 serial_ready: 1, MWAN ready: 1, MWAN module on=1\n"));
    const Lines start = on("/dev/ttyUSB8", {"ATE0", "AT$GPSNMUN=2,1,0,0,0,1,0", "AT$GPSAT=1", "AT$GPSP=1"});
    EXPECT_EQ(r.commands(), start);
    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_EQ(r.commands(), join({start, on("/dev/ttyUSB8", {"AT$GPSP=0", "AT$GPSAT=0", "AT$GPSR=3"})}));
    EXPECT_TRUE(r.no_locks());
}

void gpsp_product1070_uses_its_own_port_and_commands()
{
    Router r("gpsp", {"--usb", "1bc7:1070"});
    r.start_daemon();
    ASSERT_TRUE(r.output_has("$GPRMC")) << r.log();
    EXPECT_TRUE(th::has(r.log(), "gps: debug: /dev/ttyUSB10 serial_ready: 1, MWAN ready: 0, MWAN module on=0\n"));
    const Lines start = on("/dev/ttyUSB10", {"ATE0", "AT#LOCNMEATYPE=1,134217215", "AT$GPSNMUN=2,1,0,0,0,1,0",
                                             "AT$GPSANTPORT=3", "AT$GPSP=1"});
    EXPECT_EQ(r.commands(), start);
    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_EQ(r.commands(), join({start, on("/dev/ttyUSB10", {"AT$GPSP=0", "AT$GPSAT=0", "AT$GPSNVRAM=15,0"})}));
    EXPECT_TRUE(r.no_locks());
}

// --- stand-alone receiver -----------------------------------------------------

const std::string kPulse = "0x40004214 1\n0x40004214 0\n";
const std::string kClose = "0x40004229 0\n0x40004214 1\n";

// Platform 20 picks the stand-alone receiver although an AT!GPS module sits on
// USB port 8. The receiver talks at 9600: the 115200 attempt hears garbage.
void standalone_at9600_with_antenna_supply()
{
    Router r("standalone", {"--usb", "1199:68c0", "--opt", "baud=9600", "--set", "MOD_GPS_ANT_ACT=1"});
    r.start_daemon();
    ASSERT_TRUE(r.output_has("$GPGGA")) << r.log();
    EXPECT_EQ(r.file("/dev/gpio.log"), kPulse + "0x40004228 0\n");
    // A few cycles more: the receiver's own sentences never reach an output.
    ASSERT_TRUE(th::wait_until([&] { return th::count_of(r.out("ttyS0"), "$GPRMC") >= 3; }, 15s));
    EXPECT_EQ(r.file("/sim/out-ttyS0").find("$PTWS"), std::string::npos);
    EXPECT_TRUE(r.file("/sim/tools.log").empty());
    const std::string events = r.file("/sim/events.log");
    EXPECT_LT(events.find("ttyS1 speed 115200"), events.find("ttyS1 speed 9600")) << events;
    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_EQ(r.file("/dev/gpio.log"), kPulse + "0x40004228 0\n" + kClose);
    EXPECT_TRUE(r.no_locks());
}

// A silent receiver fails both speeds and is reset again at the next open;
// once it sends only "$GPTXT" at 115200 it is taken at that speed.
void standalone_silent_then_txt_at115200()
{
    Router r("standalone", {"--opt", "baud=115200", "--opt", "content=silent", "--set", "MOD_GPS_ANT_ACT=0"});
    r.start_daemon();
    ASSERT_TRUE(r.log_has("gps: err: speed detection failed\n", 20s)) << r.log();
    ASSERT_TRUE(r.log_has("gps: err: initialization failed\n", 5s)) << r.log();
    EXPECT_EQ(r.file("/dev/gpio.log"), kPulse);
    EXPECT_TRUE(r.no_locks());
    th::write_file(r.path("/sim/standalone-content"), "gptxt\n");
    ASSERT_TRUE(r.output_has("$GPTXT", kOpenWait)) << r.log();
    EXPECT_EQ(r.file("/dev/gpio.log"), kPulse + kPulse + "0x40004229 0\n");
    ASSERT_TRUE(r.stop_daemon()) << r.log();
    EXPECT_EQ(r.file("/dev/gpio.log"), kPulse + kPulse + "0x40004229 0\n" + kClose);
    EXPECT_TRUE(r.no_locks());
}

// --- the scenarios, side by side ----------------------------------------------

// Each scenario has a router of its own and spends its time waiting on the
// daemon's settle and retry timers: they run together, not one after another.
TEST(OwnDrivers, Scenarios)
{
    th::run_side_by_side({{"AtgpsInstallsTracksAndStops", atgps_installs_tracks_and_stops},
                          {"AtgpsBoard2TakesBackTheSetting", atgps_board2_takes_back_the_setting},
                          {"AtgpsMc8705FirmwareRevisions", atgps_mc8705_firmware_revisions},
                          {"GpspWaitsUntilReadyThenRuns", gpsp_waits_until_ready_then_runs},
                          {"GpspProduct1070UsesItsOwnPortAndCommands", gpsp_product1070_uses_its_own_port_and_commands},
                          {"StandaloneAt9600WithAntennaSupply", standalone_at9600_with_antenna_supply},
                          {"StandaloneSilentThenTxtAt115200", standalone_silent_then_txt_at115200}});
}

}  // namespace
