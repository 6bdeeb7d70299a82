// Simulated gpsp module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", nullptr};
} // namespace

extern const Dialect kDialectGpsp;
const Dialect kDialectGpsp = {"gpsp", 0x1BC71031, 0, -1, kPorts, "/dev/ttyUSB7", nullptr, nullptr, nullptr};
