// SPDX-License-Identifier: BSD-2-Clause
// Which positions the fleet feed sends: by the clock, by the distance moved
// and by the change of heading since the last one sent.
#include "fleet/sampler.h"

#include <cmath>

namespace {

constexpr double kEarthRadiusM = 6371008.8;
constexpr double kRadPerDeg = M_PI / 180;

FleetSend decide(const FleetSampler& s, const FleetSampling& cfg, const FleetPosition& p, long long now_ms)
{
    if (!s.sent)
        return FleetSend::first;
    const long long period = p.moving ? cfg.period_s : cfg.period_halt_s;
    if (period <= 1 || now_ms - s.sent_ms >= period * 1000 - kFleetPeriodSlackMs)
        return FleetSend::period;
    const bool here = p.has & kFleetLatLon;
    if (cfg.min_distance_m && here && s.has_latlon &&
        fleet_distance_m(s.lat, s.lon, p.lat, p.lon) >= cfg.min_distance_m)
        return FleetSend::distance;
    // A course is noise while standing: only a moving vehicle turns.
    if (cfg.min_angle_deg && p.moving && (p.has & kFleetCourse) && s.has_course &&
        fleet_course_change(s.course, p.course) >= cfg.min_angle_deg)
        return FleetSend::angle;
    return FleetSend::no;
}

}  // namespace

double fleet_distance_m(double lat1, double lon1, double lat2, double lon2)
{
    const double dlat = (lat2 - lat1) * kRadPerDeg, dlon = (lon2 - lon1) * kRadPerDeg;
    const double a = std::sin(dlat / 2) * std::sin(dlat / 2) + std::cos(lat1 * kRadPerDeg) *
                                                                   std::cos(lat2 * kRadPerDeg) * std::sin(dlon / 2) *
                                                                   std::sin(dlon / 2);
    return 2 * kEarthRadiusM * std::asin(std::sqrt(a < 1 ? a : 1));
}

double fleet_course_change(double a, double b)
{
    double d = std::fmod(std::fabs(a - b), 360);
    return d > 180 ? 360 - d : d;
}

FleetSend fleet_sampler_offer(FleetSampler* s, const FleetSampling& cfg, const FleetPosition& p, long long now_ms)
{
    if (!p.valid)
        return FleetSend::no;
    const FleetSend why = decide(*s, cfg, p, now_ms);
    if (why == FleetSend::no)
        return why;
    s->sent = true;
    s->sent_ms = now_ms;
    s->has_latlon = p.has & kFleetLatLon;
    s->lat = p.lat;
    s->lon = p.lon;
    // A standing vehicle's course is noise; the course it drives off with
    // is measured against the last one it drove with.
    if ((p.has & kFleetCourse) && p.moving) {
        s->has_course = true;
        s->course = p.course;
    }
    return why;
}
