// SPDX-License-Identifier: BSD-2-Clause
// The driver table, its lookup, and the module families its rows name.
#pragma once

#include "receiver/link.h"

// One record of operations per family, as the driver table's rows name them.
extern const ModuleOps kSgpscOps;
extern const ModuleOps kQgpsOps;
extern const ModuleOps kAtgpsOps;
extern const ModuleOps kGpspOps;
extern const ModuleOps kGtgpsOps;
extern const ModuleOps kStandaloneOps;
extern const ModuleOps kGpsstartOps;

// The table, ended by a row with a negative board code.
extern const ModuleDriver kDriverTable[];

// The row of the module this router has: by the USB id of port 8, or by the
// board code where the receiver is not on USB; nullptr when none fits.
const ModuleDriver* driver_find();
// Lets the found module's family prepare the router once at start-up.
void module_install();
