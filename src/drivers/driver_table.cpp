// SPDX-License-Identifier: BSD-2-Clause
// The module driver table: which family serves which router, and the lookup that picks its row.
#include "drivers/drivers.h"
#include "platform/gpio.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "platform/usb_ids.h"

namespace {

constexpr int32_t kStandaloneBoardCode = 4116;
// The module's own USB-serial port, ttyUSB8.
constexpr unsigned kModuleUsbPort = 8;

constexpr uint32_t usb(uint32_t vendor, uint32_t product)
{
    return vendor << 16 | product;
}

}  // namespace

// Lookup takes the first matching row. Rows with a USB id are chosen by it
// alone; only the stand-alone receiver is chosen by its board code (4116, the
// code detection substitutes on the platform with GPIO platform id 20).
const ModuleDriver kDriverTable[] = {
    {.board_code = 4, .usb_id = usb(0x1199, 0x68C0), .ops = &kAtgpsOps},
    {.board_code = 4, .usb_id = usb(0x1199, 0x68A2), .ops = &kAtgpsOps},
    {.board_code = 4, .usb_id = usb(0x1199, 0x68A3), .ops = &kAtgpsOps},
    {.board_code = 4, .usb_id = usb(0x1199, 0x683C), .ops = &kAtgpsOps},
    {.board_code = 6, .usb_id = usb(0x1410, 0xA021), .ops = &kGpsstartOps},
    {.board_code = 3, .usb_id = usb(0x1E2D, 0x0053), .ops = &kSgpscOps},
    {.board_code = 3, .usb_id = usb(0x1E2D, 0x0060), .ops = &kSgpscOps},
    {.board_code = 3, .usb_id = usb(0x1E2D, 0x0061), .ops = &kSgpscOps},
    {.board_code = 0, .usb_id = usb(0x1E2D, 0x006F), .ops = &kSgpscOps},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0125), .ops = &kQgpsOps},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0296), .ops = &kQgpsOps},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0512), .ops = &kQgpsOps},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0800), .ops = &kQgpsOps},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0801), .ops = &kQgpsOps},
    {.board_code = kStandaloneBoardCode, .usb_id = 0, .ops = &kStandaloneOps},
    {.board_code = 0, .usb_id = usb(0x1BC7, 0x1031), .ops = &kGpspOps},
    {.board_code = 0, .usb_id = usb(0x1BC7, 0x1070), .ops = &kGpspOps},
    {.board_code = 0, .usb_id = usb(0x1BC7, 0x1071), .ops = &kGpspOps},
    {.board_code = 0, .usb_id = usb(0x2CB7, 0x0104), .ops = &kGtgpsOps},
    {.board_code = -1, .usb_id = 0, .ops = nullptr},
};

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
