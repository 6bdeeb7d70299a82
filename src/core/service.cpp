// Service lifecycle: command dispatch, start-up, main loop, link reopening and shutdown.
#include "core/service.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "nmea/nmea.h"
#include "nmea/timesync.h"
#include "outputs/local.h"
#include "outputs/rsock.h"
#include "outputs/shell.h"
#include "outputs/snmp.h"
#include "platform/platform.h"
#include "receiver/link.h"

volatile sig_atomic_t running = 0;

namespace {

#ifdef GNSSD_VERSION
constexpr const char* kVersion = GNSSD_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

// The identification sentence: "$GPFID," + router id + "\r\n" in 1024 bytes.
constexpr std::size_t kFidSize = 1024;
constexpr std::size_t kRouterIdMax = 1014;

constexpr int kSerialOutputs = 3;
constexpr int kOutputs = 4;
constexpr int kPtyOutput = 3;
// Four remote streams, then the gpsd feed.
constexpr int kSockets = kRemoteSocketCount + 1;
constexpr int kGpsdSocket = kRemoteSocketCount;

// One service per router: the lock on this file says which process it is.
constexpr const char* kPidPath = "/run/gnssd.pid";

// SIGTERM, SIGINT and SIGHUP all stop the service the same way.
void on_stop_signal(int)
{
    running = 0;
    plat_stop_note();
}

// Without SA_RESTART so that a wait of the main thread (an open, a read, a
// pause) ends at once instead of resuming.
void install_stop_handlers()
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    static constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sig : kStopSignals)
        sigaction(sig, &sa, nullptr);
}

// Everything the main loop owns from start-up to shutdown.
struct Service {
    GpsSettings settings;
    char fid[kFidSize];
    std::size_t fid_len;
    SerialOutput outputs[kOutputs];
    bool pty_exists;
    RemoteSocket* sockets[kSockets];
    SnmpReporter* reporter;
    ControlShell* shell;
    ShellCommand commands[2];
    ReceiverLink* link;
};

void build_fid(Service* s)
{
    const char* id = s->settings.router_id != nullptr ? s->settings.router_id : "";
    std::size_t id_len = strnlen(id, kRouterIdMax);
    char* p = s->fid;
    std::memcpy(p, "$GPFID,", 7);
    p += 7;
    std::memcpy(p, id, id_len);
    p += id_len;
    std::memcpy(p, "\r\n", 3);  // with the terminating NUL: 7 + 1014 + 3 = 1024
    s->fid_len = 7 + id_len + 2;
}

// Opens a link, retrying with a 1-second pause for as long as the service
// runs; nullptr once SIGTERM has been seen.
ReceiverLink* open_link_retrying(const GpsSettings& st)
{
    for (;;) {
        // After a stop request no new link is opened.
        if (!running)
            return nullptr;
        ReceiverLink* link = link_open(st.antenna_input, st.antenna_active, st.date_fix_enabled, st.reset_enabled,
                                       st.reset_timeout);
        if (link != nullptr)
            return link;
        if (!running)
            return nullptr;
        if (!plat_pause(1) || !running)
            return nullptr;
    }
}

// Hands one sentence to every consumer in the fixed order.
void distribute(Service* s, const char* data, std::size_t n)
{
    const int moving = static_cast<int>(s->link->moving);
    for (SerialOutput& out : s->outputs)
        output_write(&out, data, n);
    for (int i = 0; i < kRemoteSocketCount; ++i)
        rsock_write(s->sockets[i], data, n, moving);
    if (s->settings.sri_enabled && n >= 6 && std::memcmp(data, "$GPRMC", 6) == 0) {
        for (SerialOutput& out : s->outputs)
            output_write(&out, s->fid, s->fid_len);
        for (int i = 0; i < kRemoteSocketCount; ++i)
            rsock_write(s->sockets[i], s->fid, s->fid_len, moving);
    }
    rsock_write(s->sockets[kGpsdSocket], data, n, 1);
}

void main_loop(Service* s)
{
    while (running) {
        if (s->link == nullptr)
            break;
        const int n = nmea_next(s->link);
        if (n == 0)
            continue;
        if (n < 0) {
            if (!running)
                break;
            log_msg(LOG_WARNING, "no data from GPS");
            link_close(s->link);
            s->link = nullptr;
            (void)plat_pause(1);
            s->link = open_link_retrying(s->settings);
            continue;
        }
        distribute(s, s->link->rx_buf, static_cast<std::size_t>(n));
        nmea_consume(s->link);
        snmp_update(s->reporter, &s->link->report, static_cast<int>(s->link->moving));
        timesync_exec(&s->settings.timesync, &s->link->report);
    }
}

void start_up(Service* s)
{
    log_msg(LOG_NOTICE, "started");
    plat_unlink(kStatsPath);
    plat_unlink(kLocationPath);
    settings_load(&s->settings);
    if (s->settings.sri_enabled)
        build_fid(s);

    running = 1;
    install_stop_handlers();

    s->reporter = snmp_open(&s->settings.snmp);
    module_install();
    s->link = open_link_retrying(s->settings);

    static constexpr const char* kSerialPaths[kSerialOutputs] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"};
    const uint32_t serial_enabled[kSerialOutputs] = {s->settings.ep1_enabled, s->settings.ep2_enabled,
                                                     s->settings.usbp_enabled};
    for (int i = 0; i < kSerialOutputs; ++i)
        s->outputs[i] = SerialOutput{serial_enabled[i], kSerialPaths[i], -1};
    s->pty_exists = pty_open(&s->outputs[kPtyOutput], s->settings.pty_enabled) == 0;

    for (int i = 0; i < kRemoteSocketCount; ++i)
        s->sockets[i] = rsock_open(&s->settings.rsock[i]);
    s->sockets[kGpsdSocket] = rsock_open(&s->settings.gpsd);

    s->commands[0] = ShellCommand{"snmp", snmp_walk, s->reporter};
    s->commands[1] = ShellCommand{nullptr, nullptr, nullptr};
    s->shell = shell_open(kShellSocketPath, s->commands);

    if (running)
        log_msg(LOG_NOTICE, "running...");
}

void shut_down(Service* s)
{
    shell_close(s->shell);
    s->shell = nullptr;
    for (RemoteSocket*& rs : s->sockets) {
        rsock_close(rs);
        rs = nullptr;
    }
    for (int i = 0; i < kSerialOutputs; ++i)
        output_close(&s->outputs[i]);
    if (s->pty_exists)
        pty_close(&s->outputs[kPtyOutput]);
    link_close(s->link);
    s->link = nullptr;
    plat_unlink(kStatsPath);
    plat_unlink(kLocationPath);
    snmp_close(s->reporter);
    s->reporter = nullptr;
    log_msg(LOG_NOTICE, "stopped");
}

int run_service()
{
    // A second copy would replace the first one's "/dev/nmea" and control
    // socket: it gives up before it touches anything.
    int holder = 0;
    const int pid_fd = plat_pidfile_lock(kPidPath, &holder);
    if (pid_fd < 0 && (errno == EWOULDBLOCK || holder > 0)) {
        if (holder > 0)
            log_msg(LOG_ERR, "already running (pid %d)", holder);
        else
            log_msg(LOG_ERR, "already running");
        return 1;
    }
    // A pid file that cannot be made (a read-only /run) must not keep the
    // router without its service: it runs unguarded, and says so.
    if (pid_fd < 0)
        log_msg(LOG_WARNING, "cannot lock %s: %s", kPidPath, std::strerror(errno));
    // Lives for the whole process; static so that the large record never sits
    // on the stack and starts zero-filled.
    static Service service;
    start_up(&service);
    main_loop(&service);
    shut_down(&service);
    if (pid_fd >= 0)
        close(pid_fd);
    return 0;
}

void run_uninstall()
{
    log_msg(LOG_NOTICE, "module uninstall");
    const ModuleDriver* row = driver_find();
    if (row != nullptr && row->uninstall != nullptr)
        row->uninstall(row);
}

} // namespace

int service_main(int argc, char** argv)
{
    const char* arg = argc > 1 ? argv[1] : nullptr;
    // Answered before anything of the router is touched.
    if (arg != nullptr && std::strcmp(arg, "--help") == 0) {
        std::printf("usage: gnssd [install|uninstall|--help|--version]\n"
                    "  (none)     run the GNSS service until SIGTERM, SIGINT or SIGHUP\n"
                    "  install    prepare the module for GNSS\n"
                    "  uninstall  undo the preparation\n"
                    "See the manual page gnssd(8).\n");
        return 0;
    }
    if (arg != nullptr && std::strcmp(arg, "--version") == 0) {
        std::printf("gnssd %s\n", kVersion);
        return 0;
    }
    (void)setsid();
    plat_openlog();
    int status = 0;
    if (arg == nullptr)
        status = run_service();
    else if (std::strncmp(arg, "install", 7) == 0)
        module_install();
    else if (std::strncmp(arg, "uninstall", 9) == 0)
        run_uninstall();
    else
        log_msg(LOG_NOTICE, "usage: %s [install|uninstall]", argc > 0 && argv[0] != nullptr ? argv[0] : "gnssd");
    plat_closelog();
    return status;
}
