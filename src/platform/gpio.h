// SPDX-License-Identifier: BSD-2-Clause
// The router's GPIO device "/dev/gpio": its request codes and the platform ids that matter.
#pragma once

// Reads: the board code and the platform id of the router.
inline constexpr unsigned long kGpioBoardCodeRequest = 0x8000420EUL;
inline constexpr unsigned long kGpioPlatformIdRequest = 0x8000420BUL;
// Writes: the stand-alone receiver's control line (argument 1 or 0) and its
// active-antenna supply.
inline constexpr unsigned long kGpioControlLineRequest = 0x40004214UL;
inline constexpr unsigned long kGpioAntennaOnRequest = 0x40004228UL;
inline constexpr unsigned long kGpioAntennaOffRequest = 0x40004229UL;

// The platform whose receiver is a stand-alone one wired to the second
// serial port, "/dev/ttyS1", instead of a cellular module.
inline constexpr int kSerialReceiverPlatformId = 20;

// One request on the shared "/dev/gpio" descriptor, opened by the first
// request that needs it; -1 when it cannot be opened.
int gpio_request(unsigned long request, int arg);
// The router's board code and platform id; 15 when "/dev/gpio" fails.
int gpio_board_code();
int gpio_platform_id();
