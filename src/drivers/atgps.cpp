// AT!GPS family (stub until the driver lands).
#include "drivers/drivers.h"
void atgps_install(const ModuleDriver*) {}
void atgps_uninstall(const ModuleDriver*) {}
int atgps_open(ReceiverLink*) { return -1; }
void atgps_close(ReceiverLink*) {}
int atgps_notice(const void*) { return 0; }
