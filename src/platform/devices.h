// SPDX-License-Identifier: BSD-2-Clause
// The router's devices behind the platform seam: GPIO, the RTC and the system clock.
#pragma once

#include <ctime>

// One GPIO control request on an open "/dev/gpio" descriptor: the ioctl on the
// router, the text-file stand-in under a simulation root. Returns what the
// ioctl returns (-1 with errno on failure).
int plat_gpio_ioctl(int fd, unsigned long request, int arg);

// Sets the RTC behind an open "/dev/rtc" descriptor from a UTC broken-down
// time (RTC_SET_TIME on the router; one appended line under the root).
int plat_rtc_set(int fd, const struct tm* utc);

// Sets the system clock (settimeofday on the router; one appended line in
// "dev/clock" under the root). Returns 0 or -1 with errno.
int plat_set_system_time(time_t seconds);
