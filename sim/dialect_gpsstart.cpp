// Simulated gpsstart module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyUSB9", nullptr};
} // namespace

extern const Dialect kDialectGpsStart;
const Dialect kDialectGpsStart = {"gpsstart", 0x1410A021, 6, -1, kPorts, "/dev/ttyUSB9", nullptr, nullptr, nullptr};
