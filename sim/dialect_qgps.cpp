// Simulated qgps module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", nullptr};
} // namespace

extern const Dialect kDialectQgps;
const Dialect kDialectQgps = {"qgps", 0x2C7C0125, 0, -1, kPorts, "/dev/ttyUSB7", nullptr, nullptr, nullptr};
