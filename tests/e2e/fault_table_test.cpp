// SPDX-License-Identifier: BSD-2-Clause
// Fault table: the real daemon under the router simulator keeps serving through receiver, line, lock,
// reader, file system and network faults.
#include "e2e/fault_rig.h"
#include "support/pty_peer.h"

using namespace std::chrono_literals;
using namespace fault_rig;

namespace {

// =============================================================================
// Receiver faults
// =============================================================================

// Every unplug of the module costs a real reopen: "no data from GPS", the
// driver's close, the 1-second pause and the driver's 5-second settle delay
// before the port is opened again. 1,000 of them take almost two hours, so
// the suite runs the cycles for a fixed budget; GNSSD_UNPLUG_CYCLES=1000 asks
// for an exact count instead. The footprint after the first cycle must equal
// the footprint after the last one. A silent receiver goes first.
TEST(FaultTable, UnplugReplugCyclesLeaveDescriptorsThreadsAndMemoryFlat)
{
    th::TempDir srv_dir;
    NetServers srv;
    srv.start(srv_dir.path, {"tcp:fleet", "udp:feed"});
    Rig rig;
    ASSERT_TRUE(rig.start({"--outputs", "--rate", "2"},
                          join({{"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1", "MOD_GPS_GPSD_ENABLED=1",
                                 "MOD_GPS_GPSD_PORT_INNER=" + std::to_string(srv.port("feed"))},
                                rsock_keys(1, "127.0.0.1", 0, srv.port("fleet"))})))
        << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") >= 2; }, 20s)) << rig.log();
    const std::string pty_before = std::filesystem::read_symlink(rig.path("/dev/nmea")).string();
    const std::string lock_before = th::read_file(rig.path("/run/lock/LCK..ttyS0"));

    // Silent receiver: the wait times out, the link is reopened, and the
    // stream goes on once the receiver talks again.
    // The status files outlive the link: while it is reopened they keep the
    // old link's last report and position, unchanged, for pages and scripts.
    const std::string stats = rig.path("/run/stats.gps");
    const std::string loc = rig.path("/run/loc.gps");
    ASSERT_TRUE(th::wait_until([&] { return th::file_exists(stats) && th::file_exists(loc); }, 5s));
    rig.ctl("silent");
    ASSERT_TRUE(rig.daemon.wait_log("gps: err: select timeout\n", 10s)) << rig.log();
    const std::string stats_silent = th::read_file(stats);
    const std::string loc_silent = th::read_file(loc);
    ASSERT_TRUE(rig.wait_count("gps: warning: no data from GPS\n", 1, 5s)) << rig.log();
    // The new link's start: the old link is closed, its files are still there.
    ASSERT_TRUE(rig.wait_count("gps: info: waiting 5 s for the module to settle\n", 2, 10s)) << rig.log();
    EXPECT_EQ(th::read_file(stats), stats_silent);
    EXPECT_EQ(th::read_file(loc), loc_silent);
    EXPECT_TRUE(th::has(stats_silent, "Latitude           : "));
    rig.ctl("resume");
    int rmcs = rig.rmc("ttyS0");
    ASSERT_TRUE(th::wait_until([&] { return rig.module_texts("$GPS_START") >= 2 && rig.rmc("ttyS0") >= rmcs + 2; }, 30s))
        << rig.log();
    EXPECT_TRUE(th::file_exists(stats));

    // Unplug and plug again, as often as the budget allows.
    auto budget = std::chrono::duration_cast<Clock::duration>(60s);
    int max_cycles = 1000;
    if (const char* asked = std::getenv("GNSSD_UNPLUG_CYCLES"); asked && std::atoi(asked) >= 2) {
        max_cycles = std::atoi(asked);
        budget = Clock::duration::max();
    }
    Footprint first{}, last{};
    int cycles = 0;
    const auto t_cycles = Clock::now();
    while (cycles < max_cycles && (cycles < 2 || Clock::now() - t_cycles < budget)) {
        const int no_data = rig.log_count("gps: warning: no data from GPS\n");
        const int starts = rig.module_texts("$GPS_START");
        rmcs = rig.rmc("ttyS0");
        rig.ctl("unplug");
        ASSERT_TRUE(rig.wait_count("gps: warning: no data from GPS\n", no_data + 1, 10s)) << "cycle " << cycles;
        rig.ctl("plug");
        ASSERT_TRUE(
            th::wait_until([&] { return rig.module_texts("$GPS_START") > starts && rig.rmc("ttyS0") >= rmcs + 2; },
                           30s))
            << "cycle " << cycles << "\n"
            << rig.log();
        ++cycles;
        if (cycles == 1)
            first = footprint(rig.daemon);
    }
    last = footprint(rig.daemon);
    const std::size_t fleet_before = srv.received("fleet");
    const std::size_t feed_before = srv.received("feed");
    expect_flat("unplug/plug", cycles, seconds_since(t_cycles), 1, first, last);

    // Outputs and streams lived through every reopen.
    ASSERT_TRUE(
        th::wait_until([&] { return srv.received("fleet") > fleet_before && srv.received("feed") > feed_before; },
                       10s));
    const std::string log = rig.log();
    EXPECT_EQ(th::count_of(log, "Pseudo-terminal has been opened"), 1);
    EXPECT_EQ(th::count_of(log, "running..."), 1);
    EXPECT_EQ(th::count_of(log, "Pseudo terminal is closed"), 0);
    EXPECT_EQ(std::filesystem::read_symlink(rig.path("/dev/nmea")).string(), pty_before);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), lock_before);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyUSB9")), pid_text(rig.daemon.pid));
    // Every sentence reached both local outputs alike.
    EXPECT_TRUE(nmea_like_ttyS0(rig, nmea));

    rig.expect_prompt_clean_stop();
}

// Junk bytes, NUL bytes and two megabyte-long lines without a sentence end
// between the sentences of a real capture: none of it is passed on, and every
// sentence around it reaches the serial port and "/dev/nmea" byte for byte.
TEST(FaultTable, GarbageNulBytesAndAMegabyteWithoutLineEndAreSkipped)
{
    Rig rig;
    const std::string clean = th::read_file(th::data_path("gpsd-gp-320fw-2019-04-06-overflow.nmea"));
    ASSERT_GT(clean.size(), 8000u);
    // A megabyte with no sentence start (dropped read by read), and one of
    // sentence starts with neither checksum nor line end (the receive buffer
    // overflows over and over).
    std::string no_start, starts_only;
    while (no_start.size() < (1u << 20))
        no_start += "0123456789abcdefghijklmnopqrstuvwxyz,.;:-_ABCDEFGHIJKLMNOPQRSTUVWXYZ#!";
    while (starts_only.size() < (1u << 20))
        starts_only += "$GPJNK,0123456789,ABCDEFGHIJKLMNOPQRSTUVWXYZ,";
    // A sentence with NUL bytes inside is dropped whole, checksum or not.
    const std::string nul_inside("$GPTXT,01,01,02,NUL\0\0\0\0 inside a sentence*5A\r\n", 46);
    const std::string capture = clean + no_start + "\r\n" + clean + nul_inside + starts_only + "\r\n" + nul_inside +
                                clean;
    const std::string want = expected_stream(capture);
    ASSERT_TRUE(rig.start(join({{"--outputs", "--rate", "10"}, rig.capture(capture)}),
                          {"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1"}))
        << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    // Junk and NUL bytes between sentences, while the capture streams.
    for (const char* word : {"garbage", "nul", "garbage", "nul"}) {
        const int rmcs = rig.rmc("ttyS0");
        ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") > rmcs; }, 10s)) << rig.log();
        rig.ctl(word);
    }
    ASSERT_TRUE(th::wait_until([&] { return rig.out("ttyS0").size() >= want.size(); }, 60s)) << rig.log();
    EXPECT_TRUE(th::wait_until([&] { return nmea.size() >= want.size(); }, 10s));
    EXPECT_EQ(first_difference(rig.out("ttyS0"), want), "");
    EXPECT_EQ(first_difference(nmea.text(), want), "");
    EXPECT_GE(rig.log_count("gps: err: NMEA receive buffer overflow\n"), 1) << rig.log();
    EXPECT_EQ(rig.log_count("no data from GPS"), 0) << rig.log();
    ASSERT_TRUE(rig.daemon.running());

    rig.expect_prompt_clean_stop();
}

// =============================================================================
// Output faults
// =============================================================================

// The USB-serial output port is a device that comes and goes. Unplugging it
// makes the next write fail and close the port; the sentence after that
// locks and opens the node again. This reopen costs no wait of its own, so
// here 1,000 unplug/replug cycles fit: descriptors, threads and memory stay
// as they were, every reopen starts at a sentence start, and ttyS0 never
// notices.
TEST(FaultTable, UsbSerialOutputUnpluggedAndRepluggedAThousandTimes)
{
    Rig rig;
    rig.start_sim({"--outputs", "--rate", "250", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_USBP_ENABLED=1"});
    const std::string node = rig.path("/dev/ttyUSB0");
    auto device = std::make_unique<th::PtyPeer>();
    ASSERT_TRUE(device->plug(node));
    rig.start_daemon();
    ASSERT_TRUE(rig.wait_running()) << rig.log();
    ASSERT_TRUE(device->read_until("\r\n", 10s)) << rig.log();

    constexpr int kCycles = 1000;
    constexpr int kWarmUp = 10;
    constexpr auto kBudget = 90s;
    Footprint first{}, last{};
    int cycles = 0, torn = 0;
    const int rmcs = rig.rmc("ttyS0");
    const auto t0 = Clock::now();
    while (cycles < kCycles && Clock::now() - t0 < kBudget) {
        auto next = std::make_unique<th::PtyPeer>();
        ASSERT_TRUE(next->plug(node)) << "cycle " << cycles;
        device->unplug();
        ASSERT_TRUE(next->read_until("\r\n", 5s)) << "cycle " << cycles << "\n" << rig.log().substr(0, 4000);
        torn += next->got[0] != '$';
        device = std::move(next);
        if (++cycles == kWarmUp)
            first = footprint(rig.daemon);
    }
    last = footprint(rig.daemon);
    // A sanitized or emulated daemon is slower: it does what the budget allows.
    if (rss_meaningful()) {
        EXPECT_EQ(cycles, kCycles) << "the budget ran out";
    }
    ASSERT_GT(cycles, kWarmUp);
    EXPECT_EQ(torn, 0) << "reopened ports that began inside a sentence";
    expect_flat("output unplug/replug", cycles, seconds_since(t0), kWarmUp, first, last);
    const std::string log = rig.log();
    EXPECT_EQ(th::count_of(log, "device(/dev/ttyUSB0) is locked"), 0);
    EXPECT_EQ(th::count_of(log, "ttyS0"), 0) << "the serial port next to it noticed";
    EXPECT_GT(rig.rmc("ttyS0"), rmcs);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyUSB0")), pid_text(rig.daemon.pid));

    rig.expect_prompt_clean_stop();
    EXPECT_FALSE(th::file_exists(rig.path("/run/lock/LCK..ttyUSB0")));
}

// ttyS0 carries a lock file of a process that is gone: it is taken over at
// the first sentence. ttyS1 is locked by a live process: it is skipped
// without waiting and tried again once a second, while ttyS0 and /dev/nmea
// get every sentence at full pace; once the holder dies, its lock is stale
// and ttyS1 is taken over without a restart.
TEST(FaultTable, SerialOutputLockedByALiveProcessDropsWhileAStaleLockIsTakenOver)
{
    Rig rig;
    rig.start_sim({"--outputs", "--rate", "4", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_EP2_ENABLED=1",
                   "--set", "MOD_GPS_PTY_ENABLED=1"});
    th::Process holder;
    holder.start({"sleep", "600"}, {}, rig.path("/holder.log"));
    ASSERT_GT(holder.pid, 0);
    th::write_file(rig.path("/run/lock/LCK..ttyS1"), pid_text(holder.pid));
    th::write_file(rig.path("/run/lock/LCK..ttyS0"), pid_text(dead_pid()));
    rig.start_daemon();
    ASSERT_TRUE(rig.wait_running()) << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);

    // The lock costs no wait: two tries a second apart, and meanwhile the
    // other outputs keep the stream's pace (four cycles a second).
    const auto t0 = Clock::now();
    ASSERT_TRUE(rig.wait_count("gps: err: device(/dev/ttyS1) is locked\n", 2, 30s)) << rig.log();
    ASSERT_TRUE(th::wait_until([&] { return th::count_of(nmea.text(), "\r\n") >= 8; }, 4s)) << rig.log();
    EXPECT_LE(rig.log_count("device(/dev/ttyS1) is locked"), static_cast<int>(seconds_since(t0)) + 2);
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), pid_text(rig.daemon.pid));
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS1")), pid_text(holder.pid));
    EXPECT_EQ(rig.out("ttyS1"), "");
    EXPECT_GE(th::count_of(rig.out("ttyS0"), "\r\n"), 2);
    EXPECT_EQ(rig.log_count("device(/dev/ttyS0) is locked"), 0);

    // The holder dies without removing its lock.
    ASSERT_TRUE(holder.stop(SIGKILL, 5s));
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS1") >= 2; }, 30s)) << rig.log();
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS1")), pid_text(rig.daemon.pid));
    // The same sentences everywhere: ttyS1 from its takeover on.
    EXPECT_TRUE(th::wait_until(
        [&] {
            const std::string s0 = rig.out("ttyS0"), s1 = rig.out("ttyS1");
            return !s1.empty() && s0.size() >= s1.size() && s0.compare(s0.size() - s1.size(), s1.size(), s1) == 0;
        },
        10s))
        << "ttyS1 does not end like ttyS0";
    EXPECT_TRUE(nmea_like_ttyS0(rig, nmea));

    rig.expect_prompt_clean_stop();
    EXPECT_EQ(rig.present({"/run/lock/LCK..ttyS0", "/run/lock/LCK..ttyS1"}), Args{});
}

// Nobody opens /dev/nmea while an hour's worth of sentences (a real capture
// replayed at high speed) passes: the full pseudo-terminal
// costs the sentences it cannot take, never the serial port's, and a reader
// that comes at last gets the current sentences.
TEST(FaultTable, PseudoTerminalNobodyReadsNeitherBlocksNorCloses)
{
    Rig rig;
    // 224 receiver cycles; 16 passes are about an hour of sentences.
    const std::string capture = th::read_file(th::data_path("gpsd-telit-he910.nmea"));
    ASSERT_GT(capture.size(), 80000u);
    const std::string period = expected_stream(capture + capture).substr(expected_stream(capture).size());
    constexpr int kPasses = 16;
    const std::size_t hour = period.size() * kPasses;

    // A thousand receiver cycles a second: far more than the daemon needs
    // to keep up, paced so that the serial port, whose full queue would drop
    // sentences by design, is never flooded in bursts.
    ASSERT_TRUE(rig.start(join({{"--outputs", "--rate", "1000", "--loop"}, rig.capture(capture)}),
                          {"MOD_GPS_EP1_ENABLED=1", "MOD_GPS_PTY_ENABLED=1"}))
        << rig.log();
    const auto t0 = Clock::now();
    ASSERT_TRUE(th::wait_until([&] { return rig.out("ttyS0").size() >= hour; }, 150s))
        << rig.out("ttyS0").size() << " of " << hour << " bytes\n"
        << rig.log().substr(0, 4000);
    std::printf("[ figures  ] %zu bytes (%d capture passes) through ttyS0 in %.1f s with /dev/nmea unread\n", hour,
                kPasses, seconds_since(t0));
    // The serial port lost nothing: whole passes of the capture, in order.
    const std::string s0 = rig.out("ttyS0");
    std::string head = expected_stream(capture);
    for (int i = 0; i < kPasses; ++i)
        head += period;
    const std::size_t n = std::min(s0.size(), head.size());
    EXPECT_EQ(first_difference(s0.substr(0, n), head.substr(0, n)), "");
    EXPECT_EQ(rig.log_count("Pseudo terminal is closed"), 0);
    EXPECT_EQ(rig.log_count("no data from GPS"), 0) << rig.log();
    ASSERT_TRUE(th::file_exists(rig.path("/dev/nmea")));

    // A late reader: what queued while nobody read, then the live stream.
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    const std::size_t tail = 16384;
    ASSERT_TRUE(th::wait_until([&] { return nmea.size() >= 8 * tail; }, 30s)) << nmea.size();
    const std::string got = nmea.text();
    std::string recent = got.substr(got.size() - tail);
    recent.erase(0, recent.find("\r\n$") + 2);
    recent.erase(recent.rfind("\r\n") + 2);
    EXPECT_TRUE(th::has((period + period), recent)) << "the live stream at /dev/nmea is not whole";
    // From its very first byte the reader gets whole sentences: a full queue
    // is discarded between batches, never cut inside one.
    int spliced = 0;
    for (std::size_t at = 0, end; (end = got.find("\r\n", at)) != std::string::npos; at = end + 2)
        spliced += period.find(got.substr(at, end + 2 - at)) == std::string::npos || got.compare(at, 1, "$") != 0 ||
                   got.find('$', at + 1) < end;
    EXPECT_EQ(spliced, 0) << got.substr(0, 2000);
    ASSERT_TRUE(rig.daemon.running());

    rig.expect_prompt_clean_stop(4000);
}

// "/run" cannot be written (a read-only directory; "/run/lock" is a file
// system of its own on the router and stays writable): the status and
// location files and the control socket fail with their messages, and the
// sentences flow as before.
TEST(FaultTable, RunNotWritableStillPassesEverySentenceOn)
{
    Args wrapper;
    if (geteuid() == 0) {
        // Root writes into any directory; without the override capability
        // it is held to the directory's mode like anyone else.
        if (std::system("setpriv --help >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "running as root and setpriv is missing: a read-only directory cannot be made";
        wrapper = {"setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    Rig rig;
    rig.start_sim({"--outputs", "--rate", "4", "--set", "MOD_GPS_EP1_ENABLED=1", "--set", "MOD_GPS_PTY_ENABLED=1"});
    ASSERT_EQ(chmod(rig.path("/run").c_str(), 0555), 0);
    rig.start_daemon(wrapper);
    ASSERT_TRUE(rig.wait_running()) << rig.log();
    Reader nmea(rig.path("/dev/nmea"));
    ASSERT_GE(nmea.fd, 0);
    // The location file is written from the first fix on.
    ASSERT_TRUE(rig.daemon.wait_log("gps: err: create (/run/loc.gps) error\n", 30s)) << rig.log();
    ASSERT_TRUE(th::wait_until([&] { return rig.rmc("ttyS0") >= 4; }, 20s)) << rig.log();
    EXPECT_TRUE(nmea_like_ttyS0(rig, nmea));
    const std::string log = rig.log();
    EXPECT_TRUE(th::has(log, "gps: err: create (/run/stats.gps) error\n"));
    EXPECT_TRUE(th::has(log, "gps: err: create (/run/loc.gps) error\n"));
    EXPECT_TRUE(th::has(log, "gps: err: bind socket error: Permission denied\n"));
    EXPECT_FALSE(th::file_exists(rig.path("/run/stats.gps")));
    EXPECT_FALSE(th::file_exists(rig.path("/run/gps.socket")));
    EXPECT_EQ(th::read_file(rig.path("/run/lock/LCK..ttyS0")), pid_text(rig.daemon.pid));

    rig.expect_prompt_clean_stop();
    chmod(rig.path("/run").c_str(), 0755);
}

}  // namespace
