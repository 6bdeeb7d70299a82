// SPDX-License-Identifier: BSD-2-Clause
// AT$GPSP family: readiness check against the mobile WAN service, then the common AT start and stop.
#include <cstdint>
#include <string_view>

#include "drivers/at_common.h"
#include "drivers/families.h"
#include "platform/platform.h"
#include "platform/log.h"
#include "receiver/link.h"
#include "receiver/serial.h"

namespace {

constexpr const char* kMwanState = "/run/ppp/iface-m0.state";
constexpr const char* kDataPort = "/dev/ttyUSB7";
// Products 0x1070 and 0x1071 (variant B) carry every bit of this id.
constexpr uint32_t kVariantBBits = 0x1BC71070;

constexpr const char* kEchoFailure = "cannot write test value of \"ATE\", device not ready yet";

constexpr AtStep kStartA[] = {
    {.command = "ATE0\r", .failure = kEchoFailure, .failure_level = LOG_WARNING},
    {.command = "AT$GPSNMUN=2,1,0,0,0,1,0\r", .timeout = 2, .failure = "cannot write new value of \"AT+GPSNMUN\""},
    {.command = "AT$GPSAT=1\r",
     .note = "active antenna on",
     .timeout = 2,
     .failure = "cannot turning active antenna on"},
    {.command = "AT$GPSP=1\r", .timeout = 2, .failure = "cannot write new value of \"AT$GPSP\" (on)"},
};

constexpr AtStep kStartB[] = {
    {.command = "ATE0\r", .failure = kEchoFailure, .failure_level = LOG_WARNING},
    {.command = "AT#LOCNMEATYPE=1,134217215\r", .timeout = 2, .expect = nullptr},
    {.command = "AT$GPSNMUN=2,1,0,0,0,1,0\r", .timeout = 2, .failure = "cannot write new value of \"AT+GPSNMUN\""},
    {.command = "AT$GPSANTPORT=3\r",
     .note = "active antenna on",
     .timeout = 2,
     .failure = "cannot turning active antenna on"},
    {.command = "AT$GPSP=1\r", .timeout = 2, .failure = "cannot write new value of \"AT$GPSP\" (on)"},
};

// Both variants switch the antenna supply off with the same command; only
// the last command, which parks the engine, differs.
constexpr AtStep kStopA[] = {
    {.command = "AT$GPSP=0\r", .timeout = 2, .failure = "cannot write new value of \"AT$GPSP\" (off)"},
    {.command = "AT$GPSAT=0\r", .note = "active antenna off", .timeout = 30, .expect = nullptr},
    {.command = "AT$GPSR=3\r", .timeout = 2, .expect = nullptr},
};

constexpr AtStep kStopB[] = {
    {.command = "AT$GPSP=0\r", .timeout = 2, .failure = "cannot write new value of \"AT$GPSP\" (off)"},
    {.command = "AT$GPSAT=0\r", .note = "active antenna off", .timeout = 30, .expect = nullptr},
    {.command = "AT$GPSNVRAM=15,0\r", .timeout = 2, .expect = nullptr},
};

constexpr AtFamily kVariantA = {
    .settle_seconds = 0,
    .control_port = "/dev/ttyUSB8",
    .data_port = kDataPort,
    .pick_data_port = nullptr,
    .start = kStartA,
    .stop = kStopA,
};

constexpr AtFamily kVariantB = {
    .settle_seconds = 0,
    .control_port = "/dev/ttyUSB10",
    .data_port = kDataPort,
    .pick_data_port = nullptr,
    .start = kStartB,
    .stop = kStopB,
};

const AtFamily& variant_of(const ReceiverLink* link)
{
    const uint32_t id = link->driver ? link->driver->usb_id : 0;
    return (id & kVariantBBits) == kVariantBBits ? kVariantB : kVariantA;
}

// The module is not ready while its control port is missing or while the
// mobile WAN service is still bringing it up; touching it then would disturb
// that service. 0 = ready.
int readiness_check(const char* control_port)
{
    const int serial_ready = file_exists(control_port);
    const char* state = read_first_line(kMwanState);
    const int module_on = state[0] != '\0';
    static constexpr const char* kTrace = "%s serial_ready: %d, MWAN ready: %d, MWAN module on=%d";
    if (!serial_ready) {
        log_msg(LOG_DEBUG, kTrace, control_port, 0, 0, module_on);
        log_msg(LOG_NOTICE, "Waiting for initialization gps module");
        return -1;
    }
    const std::string_view text = state;
    if (module_on && text != "Preparing" && text != "Initializing") {
        log_msg(LOG_DEBUG, kTrace, control_port, 1, 1, 1);
        return 0;
    }
    log_msg(LOG_DEBUG, kTrace, control_port, 1, 0, module_on);
    if (module_on) {
        log_msg(LOG_NOTICE, "Waiting for initialization gps module");
        return -1;
    }
    return 0;
}

}  // namespace

int gpsp_open(ReceiverLink* link)
{
    link->fd = -1;
    const AtFamily& family = variant_of(link);
    if (readiness_check(family.control_port) != 0)
        return -1;
    return at_start(link, family);
}

void gpsp_close(ReceiverLink* link)
{
    at_stop(link, variant_of(link));
}

const ModuleOps kGpspOps = {.open = gpsp_open, .close = gpsp_close, .name = "AT$GPSP"};
