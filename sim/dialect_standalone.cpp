// Simulated standalone module (placeholder until its dialect is written).
#include "sim.h"

namespace {
const char* const kPorts[] = {"/dev/ttyS1", nullptr};
} // namespace

extern const Dialect kDialectStandalone;
const Dialect kDialectStandalone = {"standalone", 0, -1, 20, kPorts, "/dev/ttyS1", nullptr, nullptr, nullptr};
