// SPDX-License-Identifier: BSD-2-Clause
// GPIO requests on the router's shared "/dev/gpio" descriptor: board code, platform id, control lines.
#include "platform/gpio.h"

#include <fcntl.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/devices.h"

namespace {

// What both GPIO values read as when "/dev/gpio" fails: no row has it.
constexpr int kGpioFallback = 15;

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
