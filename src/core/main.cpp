// SPDX-License-Identifier: BSD-2-Clause
// Entry point of the GNSS service daemon.
#include "core/service.h"

int main(int argc, char** argv)
{
    return service_main(argc, argv);
}
