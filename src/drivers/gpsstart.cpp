// $GPS_START family: an engine switched by plain texts on its only port, no AT commands.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "drivers/drivers.h"
#include "platform/platform.h"
#include "receiver/link.h"
#include "receiver/serial.h"

namespace {

// The module needs time after power-up before its port takes the start text.
constexpr unsigned kSettleSeconds = 5;
constexpr const char* kDataPort = "/dev/ttyUSB9";
constexpr char kStartText[] = "$GPS_START";
constexpr char kStopText[] = "$GPS_STOP";

void release(ReceiverLink* link)
{
    if (link->fd >= 0)
        close(link->fd);
    link->fd = -1;
    unlock_device(link->device_path);
}

}  // namespace

int gpsstart_open(ReceiverLink* link)
{
    if (!plat_pause(kSettleSeconds, "the module to settle"))
        return -1;
    if (link_lock_path(link, kDataPort) != 0)
        return -1;
    // The port's line settings are the module's own; O_NOCTTY keeps the
    // module tty from becoming the service's terminal, O_NONBLOCK keeps a
    // stalled module from blocking the main loop.
    link->fd = plat_open(link->device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    if (link->fd < 0) {
        log_msg(LOG_ERR, "open(%s) error: %s", link->device_path, std::strerror(errno));
        release(link);
        return -1;
    }
    const ssize_t n = write(link->fd, kStartText, sizeof kStartText - 1);
    if (n != static_cast<ssize_t>(sizeof kStartText - 1)) {
        // A short write leaves errno as it was: name it as what it is.
        const int err = n < 0 ? errno : EIO;
        log_msg(LOG_ERR, "write(%s) error: %s", link->device_path, std::strerror(err));
        release(link);
        return -1;
    }
    link->drop_repeated_gga = 1;
    return 0;
}

void gpsstart_close(ReceiverLink* link)
{
    if (link->fd < 0)
        return;
    ssize_t ignored = write(link->fd, kStopText, sizeof kStopText - 1);
    (void)ignored;
    release(link);
}

int gpsstart_notice(const void* arg)
{
    const int* first = static_cast<const int*>(arg);
    if (first == nullptr || *first == 0)
        return 0;
    std::printf("</td></tr><tr><td>");
    std::printf("<table>");
    std::printf("<tr>");
    std::printf("<td nowrap>");
    std::printf("<i class=\"color_red\">UMTS receive diversity antenna is disabled now!</i>");
    const int count = std::printf("</td></tr>");
    std::fflush(stdout);
    return count;
}

const ModuleOps kGpsstartOps = {.open = gpsstart_open,
                                .close = gpsstart_close,
                                .notice = gpsstart_notice,
                                .name = "$GPS_START"};
