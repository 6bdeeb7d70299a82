// SPDX-License-Identifier: BSD-2-Clause
// Which positions the fleet feed sends: by the clock, by the distance moved
// and by the change of heading since the last one sent.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "fleet/position.h"

struct FleetSampling {
    uint32_t min_distance_m;  // 0: off
    uint32_t min_angle_deg;   // 0: off
    uint32_t period_s;        // the longest silence while moving
    uint32_t period_halt_s;   // and while standing
};

// The fleet settings' distance and angle with an output's own periods.
inline FleetSampling fleet_sampling(const FleetSettings& fleet, uint32_t period_s, uint32_t period_halt_s)
{
    return FleetSampling{fleet.min_distance, fleet.min_angle, period_s, period_halt_s};
}

// The last position sent; zeroed, nothing was sent yet.
struct FleetSampler {
    bool sent;
    bool has_latlon;
    bool has_course;
    long long sent_ms;
    double lat, lon;
    double course;
};

enum class FleetSend { no, first, period, distance, angle };

// A cycle of this many milliseconds early still counts as on time, so that
// the jitter of the reads never skips a period.
inline constexpr long long kFleetPeriodSlackMs = 500;

// Whether the position is to be sent at now_ms (the caller's monotonic
// clock), and why; a position sent becomes the one the next are measured
// against. A period of 1 s or less sends every cycle.
FleetSend fleet_sampler_offer(FleetSampler* sampler, const FleetSampling& sampling, const FleetPosition& position,
                              long long now_ms);

// Great-circle distance in metres between two points in degrees.
double fleet_distance_m(double lat1, double lon1, double lat2, double lon2);

// Smallest difference of two courses in degrees, 0 to 180.
double fleet_course_change(double a, double b);
