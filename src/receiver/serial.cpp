// Serial (stub).
#include "receiver/serial.h"
int serial_open(const char*, int, int, const char*, int) { return -1; }
const char* at_command(int, const char*, int) { return ""; }
int lock_device(const char*, int) { return 0; }
void unlock_device(const char*) {}
int process_alive(int) { return 0; }
time_t monotonic_seconds() { return 0; }
int link_lock_path(ReceiverLink*, const char*) { return -1; }
int link_open_serial(ReceiverLink*) { return -1; }
int file_exists(const char*) { return 0; }
const char* read_first_line(const char*) { return ""; }
const char* lock_file_path(const char*, char* b, unsigned) { return b; }
