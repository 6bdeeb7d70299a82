// SNMP reporting (stub until it lands).
#include "outputs/snmp.h"
#include <unistd.h>
SnmpReporter* snmp_open(const SnmpReportSettings*) { return nullptr; }
void snmp_update(SnmpReporter*, const PositionReport*, int) {}
void snmp_close(SnmpReporter*) {}
int product_family() { return 1; }
extern "C" int snmp_walk(void*, const char*, int fd) { return static_cast<int>(write(fd, "N/A", 3)); }
