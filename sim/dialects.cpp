// SPDX-License-Identifier: BSD-2-Clause
// Every module family the simulator can play.
#include "sim.h"

extern const Dialect kDialectGpsStart;
extern const Dialect kDialectSgpsc;
extern const Dialect kDialectQgps;
extern const Dialect kDialectGtgps;
extern const Dialect kDialectAtgps;
extern const Dialect kDialectGpsp;
extern const Dialect kDialectStandalone;

const Dialect* const kDialects[] = {
    &kDialectGpsStart, &kDialectSgpsc, &kDialectQgps,       &kDialectGtgps,
    &kDialectAtgps,    &kDialectGpsp,  &kDialectStandalone, nullptr,
};
