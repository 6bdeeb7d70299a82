// SPDX-License-Identifier: BSD-2-Clause
// $GPS_START family: an engine switched by plain texts on its only port, no AT commands.
#include <cstdio>

#include "drivers/at_common.h"
#include "drivers/families.h"
#include "platform/platform.h"
#include "platform/stop.h"
#include "receiver/link.h"

namespace {

// The module needs time after power-up before its port takes the start text.
constexpr unsigned kSettleSeconds = 5;
constexpr const char* kDataPort = "/dev/ttyUSB9";

}  // namespace

int gpsstart_open(ReceiverLink* link)
{
    if (!plat_pause(kSettleSeconds, "the module to settle"))
        return -1;
    // The port's line settings are the module's own.
    if (at_open_data_port(link, kDataPort) != 0)
        return -1;
    if (at_text_start(link) != 0)
        return -1;
    link->drop_repeated_gga = 1;
    return 0;
}

void gpsstart_close(ReceiverLink* link)
{
    at_text_stop(link);
}

int gpsstart_notice(const void* arg)
{
    const int* first = static_cast<const int*>(arg);
    if (first == nullptr || *first == 0)
        return 0;
    const int count = at_print_diversity_notice();
    std::fflush(stdout);
    return count;
}

const ModuleOps kGpsstartOps = {.open = gpsstart_open, .close = gpsstart_close, .name = "$GPS_START"};
