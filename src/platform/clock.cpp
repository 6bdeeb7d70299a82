// The monotonic clock that every duration of the service is measured on.
#include "platform/clock.h"

#include <ctime>

long long monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
