// SPDX-License-Identifier: BSD-2-Clause
// The driver table row and the open connection to the receiver.
#pragma once

#include <cstdint>
#include <ctime>

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

// Receive buffer: 1023 data bytes and room for the NUL behind them.
inline constexpr int kRxBufferSize = 1024;

struct ReceiverLink {
    const ModuleDriver* driver;
    const char* device_path;  // port held locked (not owned)
    int fd;
    int rx_timeout;  // seconds
    char rx_buf[kRxBufferSize];
    int rx_len;
    int rx_start;           // where the unconsumed data of rx_buf begins
    int sentence_len;       // the sentence framed at rx_start
    uint32_t date_suspect;  // its date is a rollover victim left unrepaired
    uint32_t rx_more;       // the last read filled the buffer: more is likely waiting
    int rx_nonblocking;     // 0: not known yet; 1: reads wait; 2: reads return at once
    uint32_t drop_repeated_gga;
    uint32_t ignore_enabled;
    const char* ignore_prefix;
    uint32_t antenna_input;
    uint32_t antenna_active;
    uint32_t watchdog_enabled;
    uint32_t watchdog_timeout;
    uint32_t date_fix_enabled;
    time_t opened_at;  // monotonic second the engine started; -1 = not available
};

// The table, ended by a row with a negative board code.
extern const ModuleDriver kDriverTable[];

// GPIO requests on the shared "/dev/gpio" descriptor.
int gpio_request(unsigned long request, int arg);
int gpio_board_code();
int gpio_platform_id();

// vendor << 16 | product of a USB-serial port, or 0.
uint32_t usb_serial_id(unsigned port);

const ModuleDriver* driver_find();
void module_install();

[[nodiscard]] ReceiverLink* link_open(uint32_t antenna_input, uint32_t antenna_active, uint32_t date_fix_enabled,
                                      uint32_t reset_enabled, uint32_t reset_timeout);
void link_close(ReceiverLink* link);
