// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the reading of the kernel's USB-serial list and the driver
// selection that uses it: the list file is written anew for every input.
//
// Input: byte 0 = the port asked for (besides the module's port 8), the rest
// is the list file.
#include "fuzz_common.h"
#include "drivers/drivers.h"
#include "platform/usb_ids.h"
#include "receiver/link.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::make_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned port = data[0];
    fuzz::write_root_file("/proc/tty/driver/usbserial", data + 1, size - 1);
    (void)usb_serial_id(port);
    const uint32_t id = usb_serial_id(8);
    const ModuleDriver* row = driver_find();
    // A row chosen by USB id must carry exactly that id.
    if (row && row->usb_id != 0 && row->usb_id != id)
        std::abort();
    return 0;
}
