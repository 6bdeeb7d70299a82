// AT^SGPSC family (stub until the driver lands).
#include "drivers/drivers.h"
int is_pls8 = 0;
int is_pls83 = 0;
int sgpsc_open(ReceiverLink*) { return -1; }
void sgpsc_close(ReceiverLink*) {}
