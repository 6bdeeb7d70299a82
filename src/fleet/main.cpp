// SPDX-License-Identifier: BSD-2-Clause
// Entry point of the fleet process.
#include "fleet/fleet.h"

int main(int argc, char** argv)
{
    return fleet_main(argc, argv);
}
