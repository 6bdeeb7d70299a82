// SPDX-License-Identifier: BSD-2-Clause
// The fleet process: started by the service with its end of a socket pair,
// it reads what it needs while it still runs as root, gives root up and then
// publishes the reads the service hands it, reporting back its state.
#include "fleet/fleet.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "fleet/mqtt.h"
#include "outputs/fleet.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/worker.h"

namespace {

#ifdef GNSSD_VERSION
constexpr const char* kVersion = GNSSD_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

// The fleet process's working directory: its store lives there.
constexpr const char* kWorkDir = "/opt/gps/var";
// How often the service hears how the feed is doing.
constexpr long long kReportMs = 1000;
// A stop ends the process within this, whatever a library call is doing.
constexpr unsigned kStopLimitSec = 2;

volatile sig_atomic_t g_stop = 0;

void on_stop(int)
{
    g_stop = 1;
    plat_stop_note();
}

void install_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    static constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sig : kStopSignals)
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The user the process becomes: the one the settings name, else "gnssd"
// where the router has it, else "nobody".
const passwd* fleet_user(const char* wanted)
{
    if (wanted != nullptr && wanted[0] != '\0') {
        const passwd* pw = getpwnam(wanted);
        if (pw == nullptr)
            log_msg(LOG_ERR, "fleet: no user %s (MOD_GPS_FLEET_USER)", wanted);
        return pw;
    }
    const passwd* pw = getpwnam("gnssd");
    return pw != nullptr ? pw : getpwnam("nobody");
}

// Makes the working directory the user's own, moves into it and gives up
// root for good. Only what was opened before stays reachable: files below a
// directory the user may not enter are reached relative to the working one.
bool drop_root(const char* wanted)
{
    char dir[kPlatPathMax];
    const char* path = plat_path(kWorkDir, dir, sizeof dir);
    if (geteuid() != 0) {
        // Already someone else (a test, a supervisor that started it so): keep going as that.
        if (mkdir(path, 0700) != 0 && errno != EEXIST)
            log_msg(LOG_WARNING, "fleet: cannot make %s: %s", kWorkDir, std::strerror(errno));
        if (chdir(path) != 0)
            log_msg(LOG_WARNING, "fleet: cannot work in %s: %s", kWorkDir, std::strerror(errno));
        return true;
    }
    const passwd* pw = fleet_user(wanted);
    if (pw == nullptr || pw->pw_uid == 0) {
        log_msg(LOG_ERR, "fleet: no unprivileged user to run as: not publishing");
        return false;
    }
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    if (mkdir(path, 0700) != 0 && errno != EEXIST)
        log_msg(LOG_WARNING, "fleet: cannot make %s: %s", kWorkDir, std::strerror(errno));
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid != uid || st.st_gid != gid) &&
        lchown(path, uid, gid) != 0)
        log_msg(LOG_WARNING, "fleet: cannot give %s to its user: %s", kWorkDir, std::strerror(errno));
    if (chdir(path) != 0)
        log_msg(LOG_WARNING, "fleet: cannot work in %s: %s", kWorkDir, std::strerror(errno));
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        log_msg(LOG_ERR, "fleet: cannot give up root: %s", std::strerror(errno));
        return false;
    }
    // Never back: no set-uid program it could run would raise it again either.
    if (setuid(0) == 0) {
        log_msg(LOG_ERR, "fleet: still root after giving it up: not publishing");
        return false;
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    return true;
}

void send_report(int fd, MqttOutput* mq)
{
    FleetReport r{};
    r.kind = kFleetReport;
    r.mqtt = mqtt_status(mq);
    // A full socket means the service is busy: the next report says the same, newer.
    (void)send(fd, &r, sizeof r, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Hands every read the service sent on; false once the service's end closed.
bool take_reads(int fd, MqttOutput* mq, char* buf, std::size_t size)
{
    for (;;) {
        const ssize_t n = recv(fd, buf, size, MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0)
            return false;
        FleetRead head;
        if (static_cast<std::size_t>(n) < sizeof head)
            continue;
        std::memcpy(&head, buf, sizeof head);
        if (head.kind != kFleetRead || head.nmea_length > static_cast<std::size_t>(n) - sizeof head)
            continue;
        head.family[sizeof head.family - 1] = '\0';
        mqtt_write(mq, buf + sizeof head, head.nmea_length, &head.report, head.moving, head.family, head.at_ms);
    }
}

}  // namespace

int fleet_main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("gnssd-fleet %s\n", kVersion);
        return 0;
    }
    const int fd = kFleetHandoffFd;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fprintf(stderr, "gnssd-fleet: started by the GNSS service only (no handoff on descriptor %d)\n", fd);
        return 2;
    }
    install_signals();
    plat_openlog();
    // The service has said what is wrong with the file already.
    static GpsSettings settings;
    plat_log_mute(true);
    settings_load(&settings);
    plat_log_mute(false);

    MqttOutput* mq = mqtt_open(&settings.mqtt, settings.router_id, kVersion);
    if (argc > 2 && std::strcmp(argv[1], "--family") == 0)
        mqtt_family(mq, argv[2]);
    const bool dropped = drop_root(settings.fleet_user);
    if (dropped)
        mqtt_start(mq);
    static char buf[sizeof(FleetRead) + kFleetNmeaMax];
    long long reported_ms = 0;
    bool open = true;
    while (open && !g_stop) {
        const long long now = monotonic_ms();
        if (now - reported_ms >= kReportMs) {
            send_report(fd, mq);
            reported_ms = now;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(kReportMs));
        if (r < 0 && errno != EINTR)
            break;
        if (r > 0)
            open = take_reads(fd, dropped ? mq : nullptr, buf, sizeof buf);
    }
    // However a library call hangs, the stop ends here.
    alarm(kStopLimitSec);
    mqtt_close(mq);
    settings_free(&settings);
    plat_closelog();
    return 0;
}
