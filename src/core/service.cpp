// Service (stub).
#include "core/service.h"
volatile sig_atomic_t running = 0;
int service_main(int, char**) { return 0; }
