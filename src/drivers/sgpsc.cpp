// SPDX-License-Identifier: BSD-2-Clause
// AT^SGPSC family (PLS8, PLS83 and relatives): GNSS engine start and stop.
#include <cstring>

#include "drivers/at_common.h"
#include "drivers/families.h"

// Other programs of the router look these up in the running executable to
// learn which module the last identity query found.
extern "C" {
int is_pls8 = 0;
int is_pls83 = 0;
}

namespace {

// The identity comes from the module's own answer, not from the USB id: the
// same id is shared by relatives that need different commands. "PLS83"
// contains "PLS8", so a PLS83 is a PLS8 as well.
void take_identity(AtRun& run)
{
    is_pls83 = at_reply_has(run, "PLS83") ? 1 : 0;
    is_pls8 = at_reply_has(run, "PLS8") ? 1 : 0;
}

bool not_pls8(const AtRun&)
{
    return is_pls8 == 0;
}

bool pls8(const AtRun&)
{
    return is_pls8 != 0;
}

bool pls83(const AtRun&)
{
    return is_pls83 != 0;
}

// Answered by the antenna query just before: any "on" means the supply is on.
bool antenna_off(const AtRun& run)
{
    return !at_reply_has(run, "on");
}

const char* data_port()
{
    return is_pls83 ? "/dev/ttyUSB9" : "/dev/ttyUSB7";
}

constexpr AtStep kStart[] = {
    {.command = "ATI\r", .failure = "cannot determine module type (\"%s\")", .accepted = take_identity},
    {.command = "AT^SGPSC=\"Power/Psm\",\"1\"\r", .when = not_pls8, .failure = "cannot configure Power/Psm (\"%s\")"},
    {.command = "AT^SGPSC=\"Power/Odm\",\"0\"\r", .when = not_pls8, .failure = "cannot configure Power/Odm (\"%s\")"},
    {.command = "AT^SGPSC=\"Power/Antenna\"\r", .failure = "cannot get Power/Antenna configuration (\"%s\")"},
    {.command = "AT^SGPSC=\"Power/Antenna\",\"on\"\r",
     .when = antenna_off,
     .failure = "cannot configure Power/Antenna (\"%s\")"},
    {.command = "AT^SGPSC=\"Nmea/Interface\",\"3\"\r",
     .when = pls83,
     .failure = "cannot configure Nmea/Interface (\"%s\")"},
    {.command = "AT^SGPSC=\"Nmea/GPS\",\"on\"\r", .when = pls83, .failure = "cannot configure Nmea/GPS (\"%s\")"},
    {.command = "AT^SGPSC=\"Nmea/Output\",\"on\"\r", .failure = "cannot enable Nmea/Output (\"%s\")"},
    {.command = "AT^SGPSC=\"Nmea/Freq\",\"1\"\r", .when = not_pls8, .failure = "cannot configure Nmea/Freq (\"%s\")"},
    // A PLS8 takes no output rate; it needs time before the engine accepts
    // the switch-on instead.
    {.when = pls8, .pause = 5},
    {.command = "AT^SGPSC=\"Engine\",\"1\"\r", .failure = "cannot enable Engine (\"%s\")"},
};

constexpr AtStep kStop[] = {
    {.command = "AT^SGPSC=\"Engine\",\"0\"\r", .failure = "cannot disable Engine (\"%s\")"},
    {.command = "AT^SGPSC=\"Nmea/Output\",\"off\"\r", .failure = "cannot disable Nmea/Output (\"%s\")"},
    {.command = "AT^SGPSC=\"Power/Antenna\",\"off\"\r", .failure = "cannot configure Power/Antenna (\"%s\")"},
};

constexpr AtFamily kSgpsc = {
    .settle_seconds = 5,
    .control_port = "/dev/ttyUSB8",
    .data_port = "/dev/ttyUSB7",
    .pick_data_port = data_port,
    .start = kStart,
    .stop = kStop,
};

}  // namespace

int sgpsc_open(ReceiverLink* link)
{
    return at_start(link, kSgpsc);
}

void sgpsc_close(ReceiverLink* link)
{
    at_stop(link, kSgpsc);
}

const ModuleOps kSgpscOps = {.open = sgpsc_open, .close = sgpsc_close, .name = "AT^SGPSC"};
