// SPDX-License-Identifier: BSD-2-Clause
// The USB ids of the router's USB-serial ports, as the kernel lists them.
#pragma once

#include <cstdint>

// vendor << 16 | product of a USB-serial port ("ttyUSB<port>"), or 0.
uint32_t usb_serial_id(unsigned port);
