// gnssd-sim entry point (placeholder until the simulator core is written).
#include <cstring>

#include "sim.h"

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "server") == 0)
        return netserver_main(argc - 1, argv + 1);
    return 2;
}
