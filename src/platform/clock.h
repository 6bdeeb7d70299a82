// The service's one clock for durations: monotonic, never stepped by a
// change of the system time.
#pragma once

// CLOCK_MONOTONIC in milliseconds.
long long monotonic_ms();
