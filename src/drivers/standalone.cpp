// SPDX-License-Identifier: BSD-2-Clause
// Stand-alone serial receiver on "/dev/ttyS1": reset pulse, speed detection, antenna supply.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "drivers/at_common.h"
#include "drivers/families.h"
#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/stop.h"
#include "platform/worker.h"
#include "receiver/link.h"
#include "receiver/lock.h"
#include "receiver/serial.h"

namespace {

constexpr const char* kPort = "/dev/ttyS1";
constexpr int kLockSeconds = 5;

// The receiver powers up at one of these speeds; the faster one is tried first.
constexpr int kSpeeds[] = {115200, 9600};

// One collection keeps 8191 bytes and its NUL; the rest of a burst is drained
// in small pieces so that the next collection starts on fresh output.
constexpr int kListenSize = 8192;
constexpr int kDrainPieceSize = 128;
constexpr int kDrainLimit = 65536;
constexpr int kFirstWaitMs = 1000;
constexpr int kQuietMs = 200;

// Reused by every collection; start and stop run on the main thread only.
char g_listen[kListenSize];

bool readable(int fd, int timeout_ms)
{
    // Real time: the receiver talks at its own pace whatever the service's
    // clock says.
    struct pollfd p = {.fd = fd, .events = POLLIN, .revents = 0};
    return clock_poll_real(&p, 1, timeout_ms) > 0;
}

// Listens for one burst of output; returns the kept bytes (may hold NULs:
// a receiver heard at the wrong speed produces them).
std::string_view collect(int fd)
{
    int kept = 0;
    int total = 0;
    int wait_ms = kFirstWaitMs;
    char scratch[kDrainPieceSize];
    while (total < kDrainLimit && readable(fd, wait_ms)) {
        ssize_t n;
        if (kept < kListenSize - 1)
            n = read(fd, g_listen + kept, static_cast<std::size_t>(kListenSize - 1 - kept));
        else
            n = read(fd, scratch, sizeof scratch);
        if (n <= 0)
            break;
        if (kept < kListenSize - 1)
            kept += static_cast<int>(n);
        total += static_cast<int>(n);
        wait_ms = kQuietMs;
    }
    g_listen[kept] = '\0';
    return {g_listen, static_cast<std::size_t>(kept)};
}

// A multi-constellation receiver speaks with the GN talker and may send no GP
// sentence at all.
bool known_output(std::string_view text)
{
    for (const char* tag : {"$GPTXT", "$GPRMC", "$GNTXT", "$GNRMC"})
        if (text.find(tag) != std::string_view::npos)
            return true;
    return false;
}

int fail_unlock(ReceiverLink* link)
{
    unlock_device(link->device_path);
    return -1;
}

}  // namespace

int standalone_open(ReceiverLink* link)
{
    link->fd = -1;
    link->device_path = kPort;
    if (!lock_device(link->device_path, kLockSeconds)) {
        log_msg(LOG_ERR, "device(%s) is locked", link->device_path);
        log_msg(LOG_ERR, "locking %s failed", link->device_path);
        return -1;
    }

    Fd port(serial_open(link->device_path, 115200, 8, "N", 1));
    if (!port) {
        log_msg(LOG_ERR, "open(%s) error: %s", link->device_path, std::strerror(errno));
        return fail_unlock(link);
    }
    // Reset pulse: the control line held while a break goes out restarts the
    // receiver, which then announces itself at its configured speed.
    gpio_request(kGpioControlLineRequest, 1);
    tcsendbreak(port.get(), 1000);
    port.reset();
    gpio_request(kGpioControlLineRequest, 0);
    if (!plat_pause(5, "the receiver to restart"))
        return fail_unlock(link);

    bool found = false;
    for (int speed : kSpeeds) {
        link->fd = serial_open(link->device_path, speed, 8, "N", 1);
        if (link->fd < 0) {
            log_msg(LOG_ERR, "open(%s) error: %s", link->device_path, std::strerror(errno));
            return fail_unlock(link);
        }
        // The first burst may be cut by the port opening in its middle.
        collect(link->fd);
        if (known_output(collect(link->fd))) {
            found = true;
            break;
        }
        close(link->fd);
        link->fd = -1;
        if (!plat_pause(1))
            return fail_unlock(link);
    }
    if (!found) {
        log_msg(LOG_ERR, "speed detection failed");
        return fail_unlock(link);
    }

    gpio_request(link->antenna_active ? kGpioAntennaOnRequest : kGpioAntennaOffRequest, 0);
    // The receiver's proprietary sentences mean nothing to any consumer.
    link->ignore_prefix = "$PTWS";
    link->ignore_enabled = 1;
    return 0;
}

void standalone_close(ReceiverLink* link)
{
    if (link->fd < 0)
        return;
    close(link->fd);
    link->fd = -1;
    gpio_request(kGpioAntennaOffRequest, 0);
    // The control line stays set until the next start's pulse.
    gpio_request(kGpioControlLineRequest, 1);
    unlock_device(link->device_path);
}

const ModuleOps kStandaloneOps = {.open = standalone_open, .close = standalone_close, .name = "stand-alone serial"};
