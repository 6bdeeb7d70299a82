// Loopback TCP/UDP recording servers (placeholder until written).
#include "sim.h"

int netserver_main(int, char**)
{
    return 2;
}
