// SPDX-License-Identifier: BSD-2-Clause
// The USB ids of the router's USB-serial ports, read from the kernel's USB-serial list.
#include "platform/usb_ids.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

// One line of the kernel's USB-serial list; longer lines are read in pieces.
constexpr int kUsbSerialLineSize = 128;

}  // namespace

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
