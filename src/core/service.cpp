// SPDX-License-Identifier: BSD-2-Clause
// Service lifecycle: command dispatch, start-up, main loop, link reopening and shutdown.
#include "core/service.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/commands.h"
#include "core/pipeline.h"
#include "core/settings.h"
#include "drivers/drivers.h"
#include "outputs/report.h"
#include "outputs/shell.h"
#include "outputs/snmp.h"
#include "platform/clock.h"
#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/pidfile.h"
#include "platform/stop.h"
#include "receiver/link.h"

volatile sig_atomic_t running = 0;

namespace {

#ifdef GNSSD_VERSION
constexpr const char* kVersion = GNSSD_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

// Everything the service owns from start-up to shutdown.
struct Service {
    GpsSettings settings;
    Pipeline pipe;
    ControlShell* shell;
    ShellCommand commands[3];
    StatusSources status;
    long long started_ms;  // for the uptime the status report gives
};

void start_up(Service* s)
{
    log_msg(LOG_NOTICE, "started");
    s->started_ms = monotonic_ms();
    Pipeline* p = &s->pipe;
    p->settings = &s->settings;
    p->version = kVersion;
    settings_load(&s->settings);
    settings_platform(&s->settings, gpio_platform_id());
    if (s->settings.sri_enabled)
        pipeline_build_fid(p);

    running = 1;
    plat_stop_on_signals(&running);

    pipeline_open(p, kOpenBeforeLink);
    module_install();
    pipeline_use_link(p, pipeline_open_link(s->settings, &running));
    pipeline_open(p, kOpenWithLink);

    s->commands[0] = ShellCommand{"snmp", snmp_walk, p->reporter};
    s->status = StatusSources{{&s->settings.rsock[0], &s->settings.rsock[1], &s->settings.rsock[2],
                               &s->settings.rsock[3], &s->settings.gpsd},
                              p->sockets,
                              &p->receiver,
                              kVersion,
                              s->started_ms,
                              &s->settings.mqtt,
                              p->fleet};
    s->commands[1] = ShellCommand{"status", shell_status, &s->status};
    s->commands[2] = ShellCommand{nullptr, nullptr, nullptr};
    s->shell = shell_open(kShellSocketPath, s->commands);

    if (running)
        log_msg(LOG_NOTICE, "running...");
}

void shut_down(Service* s)
{
    shell_close(s->shell);
    s->shell = nullptr;
    Pipeline* p = &s->pipe;
    pipeline_close(p, kCloseStreams);
    pipeline_close(p, kCloseLocal);
    link_close(p->link);
    pipeline_use_link(p, nullptr);
    pipeline_close(p, kCloseAfterLink);
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
    pipeline_run(&service.pipe, &running);
    shut_down(&service);
    plat_pidfile_remove(kPidPath, pid_fd);
    return 0;
}

void run_uninstall()
{
    log_msg(LOG_NOTICE, "module uninstall");
    const ModuleDriver* row = driver_find();
    if (row != nullptr && row->ops->uninstall != nullptr)
        row->ops->uninstall(row);
}

}  // namespace

int service_main(int argc, char** argv)
{
    const char* arg = argc > 1 ? argv[1] : nullptr;
    // Answered before anything of the router is touched.
    if (arg != nullptr && std::strcmp(arg, "--help") == 0) {
        command_usage(stdout);
        return 0;
    }
    if (arg != nullptr && std::strcmp(arg, "--version") == 0) {
        std::printf("gnssd %s\n", kVersion);
        return 0;
    }
    // The operator's tools: they ask or read, and leave the router's log alone.
    if (arg != nullptr && std::strcmp(arg, "status") == 0)
        return command_status(argc, argv);
    if (arg != nullptr && std::strcmp(arg, "check") == 0)
        return command_check();
    const bool foreground = arg != nullptr && (std::strcmp(arg, "-f") == 0 || std::strcmp(arg, "--foreground") == 0);
    if (foreground)
        plat_log_stderr(LogStderr::mirror);
    (void)setsid();
    plat_openlog();
    int status = 0;
    if (arg == nullptr || foreground) {
        status = run_service();
    } else if (std::strncmp(arg, "install", 7) == 0) {
        // A stop (Ctrl-C, a dropped session) must not kill a module restart
        // halfway, with the modem off and PPP down: the step sees the request
        // and finishes what it has begun.
        plat_stop_on_signals(&running);
        module_install();
    } else if (std::strncmp(arg, "uninstall", 9) == 0) {
        plat_stop_on_signals(&running);
        run_uninstall();
    } else {
        log_msg(LOG_NOTICE, "usage: %s [install|uninstall]", argc > 0 && argv[0] != nullptr ? argv[0] : "gnssd");
        command_usage(stderr);
    }
    plat_closelog();
    return status;
}
