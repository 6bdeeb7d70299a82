// SPDX-License-Identifier: BSD-2-Clause
// SNMP reporting: periodic traps and the "snmp" control-shell command.
#pragma once

#include <cstdint>

// The trap reporter's settings, read once at start and borrowed for the life
// of the process.
struct SnmpReportSettings {
    uint32_t enabled;
    char* ipaddr;          // trap receiver
    uint32_t period;       // seconds while moving, at most a day
    uint32_t period_halt;  // seconds while halted, at most a day
};

struct PositionReport;
struct SnmpReporter;

[[nodiscard]] SnmpReporter* snmp_open(const SnmpReportSettings* settings);
void snmp_update(SnmpReporter* reporter, const PositionReport* report, int moving);
void snmp_close(SnmpReporter* reporter);
// How long a trap tool may run before it is killed (30 s); for tests.
void snmp_set_trap_limit_ms(int ms);
// 1 for most products, 2 for the "ZAR" family (no traps).
int product_family();

// Control-shell handler, looked up by name in the running executable.
extern "C" int snmp_walk(void* reporter, const char* args, int fd);
