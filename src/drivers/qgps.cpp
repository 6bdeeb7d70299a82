// SPDX-License-Identifier: BSD-2-Clause
// AT+QGPSCFG family: brings the module's GNSS settings in line, then starts the engine.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "drivers/at_common.h"
#include "drivers/families.h"
#include "receiver/at.h"
#include "platform/log.h"

namespace {

// One GNSS setting of the module and the value the service needs.
struct QgpsSetting {
    const char* name;
    const char* value;
    // Name some firmware reports the same setting under; only looked for in
    // replies, never written.
    const char* alt_name;
};

constexpr QgpsSetting kSettings[] = {
    {.name = "outport", .value = "usbnmea", .alt_name = nullptr},
    {.name = "nmeasrc", .value = "1", .alt_name = nullptr},
    {.name = "gpsnmeatype", .value = "31", .alt_name = nullptr},
    {.name = "glonassnmeatype", .value = "7", .alt_name = nullptr},
    {.name = "galileonmeatype", .value = "0", .alt_name = nullptr},
    {.name = "beidounmeatype", .value = "0", .alt_name = "pqnmeatype"},
    {.name = "gnssconfig", .value = "1", .alt_name = nullptr},
    {.name = nullptr, .value = nullptr, .alt_name = nullptr},
};

// Commands carry one setting name and value: 127 characters are plenty.
constexpr std::size_t kCommandSize = 128;

}  // namespace

// Whether the reply to a query already holds the wanted value. The value
// follows the name's closing quote and a comma. Text values are reported in
// quotes ("outport","usbnmea"): comparing from the quote would never match,
// so every start would rewrite the setting and restart the module for ever.
int qgps_value_check(const char* reply, const char* name, const char* alt_name, const char* target)
{
    const char* found = std::strstr(reply, name);
    if (!found && alt_name) {
        name = alt_name;
        found = std::strstr(reply, name);
    }
    if (!found)
        return -1;
    std::size_t at = static_cast<std::size_t>(found - reply) + std::strlen(name) + 2;
    // A reply that ends right behind the name has no value to compare.
    if (at > std::strlen(reply))
        return 0;
    const char* current = reply + at;
    if (*current == '"')
        ++current;
    return std::strncmp(current, target, std::strlen(target)) == 0 ? 1 : 0;
}

namespace {

int write_setting(AtRun& run, const QgpsSetting& row)
{
    char command[kCommandSize];
    const char* format = std::isdigit(static_cast<unsigned char>(row.value[0])) ? "AT+QGPSCFG=\"%s\",%s\r"
                                                                                : "AT+QGPSCFG=\"%s\",\"%s\"\r";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(command, sizeof command, format, row.name, row.value);
#pragma GCC diagnostic pop
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) {
        log_msg(LOG_ERR, "cannot write new value of \"%s\"", row.name);
        return -1;
    }
    run.reply = at_command(run.fd, command, 1);
    if (!at_reply_has(run, "OK\r\n")) {
        log_msg(LOG_ERR, "cannot write new value of \"%s\"", row.name);
        return -1;
    }
    log_msg(LOG_INFO, "set \"%s\" = \"%s\"", row.name, row.value);
    ++run.changed;
    return 0;
}

int sync_settings(AtRun& run)
{
    for (const QgpsSetting* row = kSettings; row->name; ++row) {
        char command[kCommandSize];
        int n = std::snprintf(command, sizeof command, "AT+QGPSCFG=\"%s\"\r", row->name);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) {
            log_msg(LOG_ERR, "cannot read current value of \"%s\"", row->name);
            return -1;
        }
        run.reply = at_command(run.fd, command, 1);
        const int check = qgps_value_check(run.reply, row->name, row->alt_name, row->value);
        if (check < 0) {
            log_msg(LOG_ERR, "cannot read current value of \"%s\"", row->name);
            return -1;
        }
        if (check > 0)
            continue;
        if (write_setting(run, *row) != 0)
            return -1;
    }
    return 0;
}

bool settings_changed(const AtRun& run)
{
    return run.changed != 0;
}

constexpr AtStep kStart[] = {
    {.command = "ATE0\r", .failure = "module is not responding"},
    {.action = sync_settings},
    // New settings take effect only after a restart; the module drops off
    // USB and the next start finds every value in place.
    {.command = "AT+CFUN=1,1\r", .when = settings_changed, .expect = nullptr, .fail_after = true},
    {.command = "AT+QGPS=1\r", .failure = "cannot enable Engine (\"%s\")", .on_refusal = "AT+QGPSEND\r"},
};

constexpr AtStep kStop[] = {
    {.command = "AT+QGPSEND\r", .failure = "cannot disable Engine (\"%s\")"},
};

constexpr AtFamily kQgps = {
    .settle_seconds = 5,
    .control_port = "/dev/ttyUSB8",
    .data_port = "/dev/ttyUSB7",
    .pick_data_port = nullptr,
    .start = kStart,
    .stop = kStop,
};

}  // namespace

int qgps_open(ReceiverLink* link)
{
    return at_start(link, kQgps);
}

void qgps_close(ReceiverLink* link)
{
    at_stop(link, kQgps);
}

const ModuleOps kQgpsOps = {.open = qgps_open, .close = qgps_close, .name = "AT+QGPSCFG"};
