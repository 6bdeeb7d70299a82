// The module driver table: which family serves which router.
#include "drivers/drivers.h"
#include "receiver/link.h"

namespace {

constexpr uint32_t usb(uint32_t vendor, uint32_t product)
{
    return vendor << 16 | product;
}

} // namespace

// Lookup takes the first matching row. Rows with a USB id are chosen by it
// alone; only the stand-alone receiver is chosen by its board code (4116, the
// code detection substitutes on the platform with GPIO platform id 20).
const ModuleDriver kDriverTable[] = {
    {.board_code = 4, .usb_id = usb(0x1199, 0x68C0), .install = atgps_install, .uninstall = atgps_uninstall,
     .open = atgps_open, .close = atgps_close, .notice = atgps_notice},
    {.board_code = 4, .usb_id = usb(0x1199, 0x68A2), .install = atgps_install, .uninstall = atgps_uninstall,
     .open = atgps_open, .close = atgps_close, .notice = atgps_notice},
    {.board_code = 4, .usb_id = usb(0x1199, 0x68A3), .install = atgps_install, .uninstall = atgps_uninstall,
     .open = atgps_open, .close = atgps_close, .notice = atgps_notice},
    {.board_code = 4, .usb_id = usb(0x1199, 0x683C), .install = atgps_install, .uninstall = atgps_uninstall,
     .open = atgps_open, .close = atgps_close, .notice = atgps_notice},
    {.board_code = 6, .usb_id = usb(0x1410, 0xA021), .install = nullptr, .uninstall = nullptr,
     .open = gpsstart_open, .close = gpsstart_close, .notice = gpsstart_notice},
    {.board_code = 3, .usb_id = usb(0x1E2D, 0x0053), .open = sgpsc_open, .close = sgpsc_close},
    {.board_code = 3, .usb_id = usb(0x1E2D, 0x0060), .open = sgpsc_open, .close = sgpsc_close},
    {.board_code = 3, .usb_id = usb(0x1E2D, 0x0061), .open = sgpsc_open, .close = sgpsc_close},
    {.board_code = 0, .usb_id = usb(0x1E2D, 0x006F), .open = sgpsc_open, .close = sgpsc_close},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0125), .open = qgps_open, .close = qgps_close},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0296), .open = qgps_open, .close = qgps_close},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0512), .open = qgps_open, .close = qgps_close},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0800), .open = qgps_open, .close = qgps_close},
    {.board_code = 0, .usb_id = usb(0x2C7C, 0x0801), .open = qgps_open, .close = qgps_close},
    {.board_code = 4116, .usb_id = 0, .open = standalone_open, .close = standalone_close},
    {.board_code = 0, .usb_id = usb(0x1BC7, 0x1031), .open = gpsp_open, .close = gpsp_close},
    {.board_code = 0, .usb_id = usb(0x1BC7, 0x1070), .open = gpsp_open, .close = gpsp_close},
    {.board_code = 0, .usb_id = usb(0x1BC7, 0x1071), .open = gpsp_open, .close = gpsp_close},
    {.board_code = 0, .usb_id = usb(0x2CB7, 0x0104), .open = gtgps_open, .close = gtgps_close},
    {.board_code = -1, .usb_id = 0},
};
