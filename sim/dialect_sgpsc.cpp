// Simulated sgpsc module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyUSB7", "/dev/ttyUSB8", "/dev/ttyUSB9", nullptr};
} // namespace

extern const Dialect kDialectSgpsc;
const Dialect kDialectSgpsc = {"sgpsc", 0x1E2D0061, 3, -1, kPorts, "/dev/ttyUSB7", nullptr, nullptr, nullptr};
