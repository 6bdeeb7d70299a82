// SPDX-License-Identifier: BSD-2-Clause
// AT+GTGPSPOWER family: GNSS power and NMEA output switched on the module's ttyUSB7.
#include "drivers/at_common.h"
#include "drivers/families.h"

namespace {

// Every command is sent even when an earlier one was refused: the module
// takes power and output independently, and the next start repeats them all.
constexpr AtStep kStart[] = {
    {.command = "ATE0\r", .failure = "cannot write new value of \"ATE\"", .keep_going = true},
    {.command = "AT+GTGPSPOWER=1\r", .failure = "cannot write new value of \"AT+GTGPSPOWER\"", .keep_going = true},
    {.command = "AT+GTSET=\"NMEAEN\",1\r",
     .failure = "cannot write new value of \"AT+GTSET=\"NMEAEN\"\"",
     .keep_going = true},
};

constexpr AtStep kStop[] = {
    {.command = "AT+GTGPSPOWER=0\r", .failure = "cannot write new value of \"AT+GTGPSPOWER\""},
};

// This module's ports are the other way round from the other families.
constexpr AtFamily kGtgps = {
    .settle_seconds = 5,
    .control_port = "/dev/ttyUSB7",
    .data_port = "/dev/ttyUSB9",
    .pick_data_port = nullptr,
    .start = kStart,
    .stop = kStop,
};

}  // namespace

int gtgps_open(ReceiverLink* link)
{
    return at_start(link, kGtgps);
}

void gtgps_close(ReceiverLink* link)
{
    at_stop(link, kGtgps);
}

const ModuleOps kGtgpsOps = {.open = gtgps_open, .close = gtgps_close, .name = "AT+GTGPSPOWER"};
