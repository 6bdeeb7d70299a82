// Simulated gtgps module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB9", nullptr};
} // namespace

extern const Dialect kDialectGtgps;
const Dialect kDialectGtgps = {"gtgps", 0x2CB70104, 0, -1, kPorts, "/dev/ttyUSB9", nullptr, nullptr, nullptr};
