// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the settings reader: arbitrary file contents, every key the service
// reads, through cfg_find, cfg_get_uint and cfg_get_str.
#include <cstdio>
#include <vector>

#include "core/settings.h"
#include "fuzz_common.h"

namespace {

// Every key the service asks for, and a few near misses.
const char* const kKeys[] = {
    "MOD_GPS_ENABLED",
    "MOD_GPS_ANT_INPUT",
    "MOD_GPS_ANT_ACT",
    "MOD_GPS_DATE_FIX_ENABLED",
    "MOD_GPS_EP1_ENABLED",
    "MOD_GPS_EP2_ENABLED",
    "MOD_GPS_USBP_ENABLED",
    "MOD_GPS_PTY_ENABLED",
    "MOD_GPS_SRI_ENABLED",
    "MOD_GPS_ROUTER_ID_STRING",
    "MOD_GPS_RSOCK1_ENABLED",
    "MOD_GPS_RSOCK1_IPADDR",
    "MOD_GPS_RSOCK1_PROTOCOL",
    "MOD_GPS_RSOCK1_PORT",
    "MOD_GPS_RSOCK1_PERIOD",
    "MOD_GPS_RSOCK1_PERIOD_HALT",
    "MOD_GPS_RSOCK4_PERIOD_HALT",
    "MOD_GPS_RESET_ENABLED",
    "MOD_GPS_RESET_TIMEOUT",
    "MOD_GPS_SNMP_REPORT_ENABLED",
    "MOD_GPS_SNMP_REPORT_IPADDR",
    "MOD_GPS_SNMP_REPORT_PERIOD",
    "MOD_GPS_SNMP_REPORT_PERIOD_HALT",
    "MOD_GPS_TIMESYNC_ENABLED",
    "MOD_GPS_TIMESYNC_PERIOD",
    "MOD_GPS_GPSD_ENABLED",
    "MOD_GPS_GPSD_PORT_INNER",
    "MOD_GPS_GPSD_PORT_LISTEN",
    "",
    "=",
    "MOD_GPS_",
    "KEY",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::make_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // fmemopen reads from a private copy: the readers may not see the
    // fuzzer's buffer beyond its end.
    std::vector<char> copy(data, data + size);
    FILE* file = size > 0 ? fmemopen(copy.data(), copy.size(), "r") : nullptr;

    // Every key reads the same way: a few per input keep the rate up, and
    // which ones varies with the input.
    constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
    const size_t first = (size * 2654435761u) % kKeyCount;
    for (size_t k = 0; k < 3; ++k) {
        const char* key = kKeys[(first + k * 11) % kKeyCount];
        (void)cfg_get_uint(file, key);
        char* text = cfg_get_str(file, key);
        if (!text)
            std::abort();  // never null, also for a missing file or key
        std::free(text);
    }
    if (file) {
        // cfg_find from the current position, as settings_load's readers do
        // after their rewind: walk the rest of the file key by key.
        rewind(file);
        const char* value = cfg_find(file, "MOD_GPS_ROUTER_ID_STRING");
        if (value && std::strlen(value) >= 16384)
            std::abort();  // a line is read with a 16384-byte buffer
        fclose(file);
    }
    (void)cfg_get_uint(nullptr, "MOD_GPS_ENABLED");
    std::free(cfg_get_str(nullptr, "MOD_GPS_ROUTER_ID_STRING"));
    return 0;
}
