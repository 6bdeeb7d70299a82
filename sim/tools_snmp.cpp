// Stand-in snmptrap and status tools (placeholder until written).
#include "sim.h"

void tools_install_snmp(Sim*) {}
