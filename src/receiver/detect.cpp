// SPDX-License-Identifier: BSD-2-Clause
// Module detection: GPIO board code and platform id, USB-serial ids, driver lookup.
#include <fcntl.h>

#include <atomic>
#include <cstdio>

#include "platform/gpio.h"
#include "platform/platform.h"
#include "receiver/link.h"

namespace {

// What both GPIO values read as when "/dev/gpio" fails: no row has it.
constexpr int kGpioFallback = 15;
constexpr int32_t kStandaloneBoardCode = 4116;
// The module's own USB-serial port, ttyUSB8.
constexpr unsigned kModuleUsbPort = 8;
// One line of the kernel's USB-serial list; longer lines are read in pieces.
constexpr int kUsbSerialLineSize = 128;

// One descriptor for the whole process, opened by the first request that
// needs it and never closed. The spin lock only makes that first opening
// race-free: requests may come from any thread.
std::atomic<int> g_gpio_fd{-1};
std::atomic<int> g_gpio_lock{0};

int gpio_value(unsigned long request)
{
    const int v = gpio_request(request, 0);
    return v < 0 ? kGpioFallback : v;
}

}  // namespace

int gpio_request(unsigned long request, int arg)
{
    while (g_gpio_lock.exchange(1, std::memory_order_acquire) != 0) {
    }
    if (g_gpio_fd.load(std::memory_order_relaxed) < 0)
        g_gpio_fd.store(plat_open("/dev/gpio", O_RDWR | O_CLOEXEC), std::memory_order_relaxed);
    const int fd = g_gpio_fd.load(std::memory_order_relaxed);
    g_gpio_lock.store(0, std::memory_order_release);
    if (fd < 0)
        return -1;
    return plat_gpio_ioctl(fd, request, arg);
}

int gpio_board_code()
{
    return gpio_value(kGpioBoardCodeRequest);
}

int gpio_platform_id()
{
    return gpio_value(kGpioPlatformIdRequest);
}

uint32_t usb_serial_id(unsigned port)
{
    FILE* f = plat_fopen("/proc/tty/driver/usbserial", "re");
    if (!f)
        return 0;
    char line[kUsbSerialLineSize];
    uint32_t id = 0;
    while (std::fgets(line, sizeof line, f)) {
        unsigned number = 0;
        unsigned vendor = 0;
        unsigned product = 0;
        char model[32];
        const int n = std::sscanf(line, "%u: name:\"%*[^\"]\" vendor:%x product:%x model:\"%31[^\"]", &number, &vendor,
                                  &product, model);
        if (n >= 3 && number == port) {
            id = vendor * 65536U + product;
            break;
        }
    }
    std::fclose(f);
    return id;
}

const ModuleDriver* driver_find()
{
    int32_t board = gpio_board_code();
    uint32_t usb = 0;
    // On that platform the receiver is not on USB at all: whatever module sits
    // on port 8 must not win over it.
    if (gpio_platform_id() == kSerialReceiverPlatformId)
        board = kStandaloneBoardCode;
    else
        usb = usb_serial_id(kModuleUsbPort);
    for (const ModuleDriver* row = kDriverTable; row->board_code >= 0; ++row) {
        if (row->usb_id != 0) {
            if (row->usb_id == usb)
                return row;
        } else if (row->board_code != 0 && row->board_code == board) {
            return row;
        }
    }
    return nullptr;
}

void module_install()
{
    const ModuleDriver* row = driver_find();
    if (!row) {
        log_msg(LOG_NOTICE, "no device for installation found");
        return;
    }
    if (!row->ops->install) {
        log_msg(LOG_NOTICE, "no installation required");
        return;
    }
    row->ops->install(row);
}
