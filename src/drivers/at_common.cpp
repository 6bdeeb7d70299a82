// SPDX-License-Identifier: BSD-2-Clause
// Start and stop shared by the module families driven with AT commands.
#include "drivers/at_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/stop.h"
#include "receiver/at.h"
#include "receiver/link.h"
#include "receiver/lock.h"
#include "receiver/serial.h"

namespace {

constexpr char kStartText[] = "$GPS_START";
constexpr char kStopText[] = "$GPS_STOP";

}  // namespace

bool at_reply_has(const AtRun& run, const char* text)
{
    return run.reply && std::strstr(run.reply, text) != nullptr;
}

void at_release(ReceiverLink* link)
{
    if (link->fd >= 0)
        close(link->fd);
    link->fd = -1;
    if (link->device_path)
        unlock_device(link->device_path);
}

int at_text_start(ReceiverLink* link)
{
    const ssize_t n = write(link->fd, kStartText, sizeof kStartText - 1);
    if (n == static_cast<ssize_t>(sizeof kStartText - 1))
        return 0;
    // A short write leaves errno as it was: name it as what it is.
    const int err = n < 0 ? errno : EIO;
    log_msg(LOG_ERR, "write(%s) error: %s", link->device_path, std::strerror(err));
    at_release(link);
    return -1;
}

void at_text_stop(ReceiverLink* link)
{
    if (link->fd < 0)
        return;
    if (write(link->fd, kStopText, sizeof kStopText - 1) < 0) {
        // Stopping goes on regardless: the port is released below.
    }
    at_release(link);
}

int at_print_diversity_notice()
{
    std::printf("</td></tr><tr><td>");
    std::printf("<table>");
    std::printf("<tr>");
    std::printf("<td nowrap>");
    std::printf("<i class=\"color_red\">UMTS receive diversity antenna is disabled now!</i>");
    return std::printf("</td></tr>");
}

int at_open_data_port(ReceiverLink* link, const char* path)
{
    link->fd = -1;
    if (link_lock_path(link, path) != 0)
        return -1;
    // The engine's port is taken as the module set it up: no line settings.
    const int fd = serial_open_port(path);
    if (fd < 0) {
        unlock_device(path);
        return -1;
    }
    link->fd = fd;
    return 0;
}

int at_run_steps(ReceiverLink* link, std::span<const AtStep> steps, bool stoppable)
{
    AtRun run{.link = link, .fd = link->fd, .reply = "", .changed = 0, .failed = false};
    for (const AtStep& step : steps) {
        if (step.when && !step.when(run))
            continue;
        if (!stoppable) {
            // The module needs the time whatever stop request comes.
            (void)clock_pause_ms(step.pause > 0 ? step.pause * 1000LL : 0, false);
        } else if (!plat_pause(static_cast<unsigned>(step.pause > 0 ? step.pause : 0),
                               "the module to take the next command")) {
            return -1;
        }
        if (step.note)
            log_msg(LOG_NOTICE, "%s", step.note);
        if (step.action) {
            if (step.action(run) != 0)
                return -1;
            continue;
        }
        if (!step.command)
            continue;
        run.reply = at_command(run.fd, step.command, step.timeout);
        if (!step.expect || std::strstr(run.reply, step.expect)) {
            if (step.accepted)
                step.accepted(run);
            if (step.fail_after)
                return -1;
            continue;
        }
        if (step.failure) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
            // The messages come from the drivers' constant tables; those
            // without "%s" simply leave the reply unused.
            log_msg(step.failure_level, step.failure, run.reply);
#pragma GCC diagnostic pop
        }
        if (step.on_refusal)
            at_command(run.fd, step.on_refusal, step.timeout);
        if (!step.keep_going)
            return -1;
        run.failed = true;
    }
    return run.failed ? -1 : 0;
}

int at_start(ReceiverLink* link, const AtFamily& family)
{
    link->fd = -1;
    if (!plat_pause(static_cast<unsigned>(family.settle_seconds > 0 ? family.settle_seconds : 0),
                    "the module to settle"))
        return -1;
    if (link_lock_path(link, family.control_port) != 0)
        return -1;
    if (link_open_serial(link) != 0) {
        at_release(link);
        return -1;
    }
    int result = at_run_steps(link, family.start, true);
    // A start cut short by a stop request may have left the engine half
    // started: the stop rows leave the module as at any shutdown.
    if (result != 0 && plat_stop_seen())
        (void)at_run_steps(link, family.stop);
    at_release(link);
    if (result != 0)
        return -1;
    const char* data_port = family.pick_data_port ? family.pick_data_port() : family.data_port;
    return at_open_data_port(link, data_port);
}

void at_stop(ReceiverLink* link, const AtFamily& family)
{
    if (link->fd < 0)
        return;
    at_release(link);
    // Also after a stop request: switching the engine off is the point of it.
    if (link_lock_path(link, family.control_port, LockWait::kFull) != 0)
        return;
    if (link_open_serial(link) != 0) {
        at_release(link);
        return;
    }
    (void)at_run_steps(link, family.stop);
    at_release(link);
}
