// Detection (stub).
#include "receiver/link.h"
int gpio_request(unsigned long, int) { return -1; }
int gpio_board_code() { return 15; }
int gpio_platform_id() { return 15; }
uint32_t usb_serial_id(unsigned) { return 0; }
const ModuleDriver* driver_find() { return nullptr; }
void module_install() {}
ReceiverLink* link_open(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return nullptr; }
void link_close(ReceiverLink*) {}
