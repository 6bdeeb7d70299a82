// SPDX-License-Identifier: BSD-2-Clause
// The receiver link: one open connection to the receiver through its driver row.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"
#include "receiver/link.h"

namespace {

// Pause after a failed open, so a missing or broken module is not hammered.
constexpr unsigned kOpenFailPauseSeconds = 10;
// The first sentence may take long: the engine has just been started.
constexpr int kFirstRxTimeoutSeconds = 30;

void free_link(ReceiverLink* link)
{
    std::free(link);
}

const char* family_name(const ModuleDriver* row)
{
    return row->ops->name != nullptr ? row->ops->name : "unknown";
}

// Which module was found and where its sentences come from: the first thing
// to look at when nothing arrives.
void log_opened(const ReceiverLink* link)
{
    const uint32_t id = link->driver->usb_id;
    char usb[16] = "no USB id";
    if (id != 0)
        std::snprintf(usb, sizeof usb, "USB %04X:%04X", static_cast<unsigned>(id >> 16),
                      static_cast<unsigned>(id & 0xFFFF));
    log_msg(LOG_NOTICE, "GPS module %s (%s) opened, data port %s", family_name(link->driver), usb,
            link->device_path ? link->device_path : "unknown");
}

}  // namespace

ReceiverLink* link_open(const ModuleDriver* row, const LinkOptions& options)
{
    auto* link = static_cast<ReceiverLink*>(std::calloc(1, sizeof(ReceiverLink)));
    if (!link)
        return nullptr;
    // No descriptor yet: a driver that fails early must not touch stdin.
    link->fd = -1;
    link->driver = row;
    if (!link->driver) {
        log_msg(LOG_ERR, "no GPS module available");
        (void)plat_pause(kOpenFailPauseSeconds);
        free_link(link);
        return nullptr;
    }
    // Drivers read the antenna settings while they start the engine.
    link->antenna_input = options.antenna_input;
    link->antenna_active = options.antenna_active;
    link->date_fix_enabled = options.date_fix_enabled;
    link->watchdog_enabled = options.reset_enabled;
    link->watchdog_timeout = options.reset_timeout;
    if (link->driver->ops->open(link) != 0) {
        log_msg(LOG_ERR, "initialization failed");
        (void)plat_pause(kOpenFailPauseSeconds);
        free_link(link);
        return nullptr;
    }
    if (link->watchdog_enabled) {
        // Monotonic: time sync steps the wall clock under a running watchdog.
        link->opened_at = monotonic_seconds();
        if (link->opened_at == static_cast<time_t>(-1)) {
            const int saved = errno;
            log_msg(LOG_WARNING, "cannot initialize location time stamp: %s", std::strerror(saved));
        }
    }
    link->rx_timeout = kFirstRxTimeoutSeconds;
    log_opened(link);
    return link;
}

void link_close(ReceiverLink* link)
{
    if (!link)
        return;
    if (link->driver)
        link->driver->ops->close(link);
    free_link(link);
}
