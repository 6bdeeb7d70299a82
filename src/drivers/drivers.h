// SPDX-License-Identifier: BSD-2-Clause
// The module families, as the driver table names them.
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
