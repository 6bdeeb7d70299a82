// Simulated atgps module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", nullptr};
} // namespace

extern const Dialect kDialectAtgps;
const Dialect kDialectAtgps = {"atgps", 0x119968C0, 4, -1, kPorts, "/dev/ttyUSB7", nullptr, nullptr, nullptr};
