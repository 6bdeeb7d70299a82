// SPDX-License-Identifier: BSD-2-Clause
// A driver table row and the open connection to the receiver.
#pragma once

#include <cstdint>

#include "nmea/reader.h"

struct ReceiverLink;

struct ModuleDriver;

// The operations of one module family, exported once by its driver file;
// nullptr operations mean "this family has none".
struct ModuleOps {
    void (*install)(const ModuleDriver* row);
    void (*uninstall)(const ModuleDriver* row);
    int (*open)(ReceiverLink* link);    // 0 = engine runs, NMEA device open
    void (*close)(ReceiverLink* link);  // present for every family
    const char* name;                   // the family as the operator knows it: its AT dialect
};

// One row of the driver table.
struct ModuleDriver {
    int32_t board_code;  // negative ends the table
    uint32_t usb_id;     // vendor << 16 | product; 0 = selected by board code
    const ModuleOps* ops;
};

// One open connection to the receiver. The reader's part comes first: the
// port's descriptor and what the reader keeps of it, with the flags the
// driver sets for its module.
struct ReceiverLink : NmeaReader {
    const ModuleDriver* driver;
    const char* device_path;  // port held locked (not owned)
    uint32_t antenna_input;
    uint32_t antenna_active;
};

// What the operator's settings ask of a link.
struct LinkOptions {
    uint32_t antenna_input;
    uint32_t antenna_active;
    uint32_t date_fix_enabled;
    uint32_t reset_enabled;  // the fix watchdog
    uint32_t reset_timeout;  // seconds without a fix before it fires
};

// Opens the receiver of a driver table row; nullptr after a logged failure
// and a pause, so a missing or broken module is not hammered.
[[nodiscard]] ReceiverLink* link_open(const ModuleDriver* row, const LinkOptions& options);
void link_close(ReceiverLink* link);
