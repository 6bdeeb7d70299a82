// SPDX-License-Identifier: BSD-2-Clause
// The fleet process: the fleet feed's outputs, apart from the GNSS service.
#pragma once

// The whole program; started by the service with the handoff on descriptor 3.
int fleet_main(int argc, char** argv);
