// SPDX-License-Identifier: BSD-2-Clause
// The gpsd feed read by a real gpsd: a replayed capture's position reaches gpsd clients.
#include <regex>
#include <set>

#include "e2e/fault_rig.h"

using namespace std::chrono_literals;

namespace {

bool have_program(const char* name)
{
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
        if (access((std::string(dir) + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

// SysV shared memory segments created by one process (its pid in cpid).
std::set<std::string> shm_ids_of(pid_t creator)
{
    std::set<std::string> ids;
    std::istringstream in(th::read_file("/proc/sysvipc/shm"));
    std::string line;
    std::getline(in, line);  // header: key shmid perms size cpid ...
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string key, id, perms, size;
        long cpid = 0;
        if (ls >> key >> id >> perms >> size >> cpid && cpid == creator)
            ids.insert(id);
    }
    return ids;
}

TEST(GpsdFeed, GpsdReportsTheReplayedPosition)
{
    if (!have_program("gpsd") || !have_program("gpspipe"))
        GTEST_SKIP() << "gpsd and gpspipe (Debian packages gpsd, gpsd-clients) are not installed";
    th::TempDir dir;
    const int gpsd_port = th::free_port(SOCK_STREAM);
    const int feed_port = th::free_port(SOCK_DGRAM);

    th::Process gpsd;
    // Its own export segment key, so that no other gpsd on the machine is
    // disturbed and the segment is known to be ours.
    gpsd.start({"gpsd", "-N", "-n", "-S", std::to_string(gpsd_port), "-F", dir.path + "/gpsd.sock", "-P",
                dir.path + "/gpsd.pid", "udp://127.0.0.1:" + std::to_string(feed_port)},
               {{"GPSD_SHM_KEY", "0x47500" + std::to_string(10 + gpsd_port % 80)}}, dir.path + "/gpsd.log");
    const pid_t gpsd_pid = gpsd.pid;
    ASSERT_TRUE(th::wait_until([&] { return th::file_exists(dir.path + "/gpsd.pid"); }, 10s)) << gpsd.log();

    fault_rig::Rig rig;
    rig.start_sim({"--capture", th::data_path("gpsd-telit-pls83-w.nmea"), "--loop", "--set", "MOD_GPS_GPSD_ENABLED=1",
                   "--set", "MOD_GPS_GPSD_PORT_INNER=" + std::to_string(feed_port)});
    rig.start_daemon();

    th::Process pipe;
    pipe.start({"gpspipe", "-w", "-n", "400", "127.0.0.1:" + std::to_string(gpsd_port)}, {}, dir.path + "/pipe.log");
    // The capture's fix: 4333.190206 N, 00127.618380 E.
    const std::regex tpv(R"re("class":"TPV".*"lat":([0-9.+-]+),"lon":([0-9.+-]+))re");
    double lat = 0, lon = 0;
    const bool seen = th::wait_until(
        [&] {
            std::istringstream in(pipe.log());
            for (std::string line; std::getline(in, line);) {
                std::smatch m;
                if (std::regex_search(line, m, tpv)) {
                    lat = std::atof(m[1].str().c_str());
                    lon = std::atof(m[2].str().c_str());
                    return true;
                }
            }
            return false;
        },
        40s);
    pipe.stop(SIGTERM, 5s);
    EXPECT_TRUE(rig.daemon.stop(SIGTERM, 10s));
    rig.sim.stop(SIGTERM, 5s);
    EXPECT_TRUE(gpsd.stop(SIGTERM, 10s)) << gpsd.log();

    // gpsd leaves its shared memory behind: remove what this run created.
    for (const std::string& id : shm_ids_of(gpsd_pid))
        EXPECT_EQ(std::system(("ipcrm -m " + id).c_str()), 0);
    EXPECT_TRUE(shm_ids_of(gpsd_pid).empty());

    ASSERT_TRUE(seen) << "gpsd reported no position\n" << pipe.log() << "\n" << rig.log();
    EXPECT_NEAR(lat, 43.0 + 33.190206 / 60.0, 1e-5);
    EXPECT_NEAR(lon, 1.0 + 27.618380 / 60.0, 1e-5);
}

}  // namespace
