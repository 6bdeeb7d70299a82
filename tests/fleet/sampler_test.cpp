// SPDX-License-Identifier: BSD-2-Clause
// Sending by the clock, the distance moved and the change of heading.
#include <gtest/gtest.h>

#include "fleet/sampler.h"

namespace {

struct Step {
    long long ms;
    double north_m, east_m;  // from the start
    double course;           // negative: none given
    bool moving;
    FleetSend want;
};

FleetPosition at(const Step& s)
{
    FleetPosition p{};
    p.valid = true;
    p.moving = s.moving;
    p.has = kFleetLatLon | (s.course >= 0 ? kFleetCourse : 0u);
    p.lat = 48 + s.north_m / 111195.0;
    p.lon = 11 + s.east_m / (111195.0 * 0.66913);  // cos 48°
    p.course = s.course;
    return p;
}

}  // namespace

TEST(FleetSampler, ClockDistanceAndHeading)
{
    const FleetSampling cfg{100, 30, 60, 300};
    const Step steps[] = {
        {0, 0, 0, 90, true, FleetSend::first},
        {1000, 0, 20, 90, true, FleetSend::no},
        {4000, 0, 99, 95, true, FleetSend::no},
        {5000, 0, 101, 95, true, FleetSend::distance},
        {6000, 0, 120, 119, true, FleetSend::no},       // 29° from the 90° sent
        {7000, 5, 130, 125, true, FleetSend::angle},    // 35° from the 90° sent last
        {8000, 10, 135, 150, true, FleetSend::no},      // 25° from 125°
        {9000, 15, 140, 94, true, FleetSend::angle},    // 31° back from 125°
        {10000, 15, 141, 200, false, FleetSend::no},    // standing: its course is noise
        {69500, 15, 141, -1, true, FleetSend::period},  // the period less the slack
        {70000, 15, 142, -1, false, FleetSend::no},
        {369500, 15, 142, -1, false, FleetSend::period},  // standing: the halt period
        {369600, 15, 143, 274, true, FleetSend::angle},   // the course of the last drive is kept
        {369700, 15, 144, 350, true, FleetSend::angle},   // across north: 76°
        {369800, 15, 145, 10, true, FleetSend::no},       // across north: 20°
    };
    FleetSampler s{};
    for (const Step& step : steps)
        EXPECT_EQ(fleet_sampler_offer(&s, cfg, at(step), step.ms), step.want) << "at " << step.ms << " ms";
}

TEST(FleetSampler, OffSendsByTheClockAlone)
{
    FleetSampler s{};
    const FleetSampling clock{0, 0, 5, 60};
    EXPECT_EQ(fleet_sampler_offer(&s, clock, at({0, 0, 0, 0, true, {}}), 0), FleetSend::first);
    EXPECT_EQ(fleet_sampler_offer(&s, clock, at({0, 1000, 0, 180, true, {}}), 1000), FleetSend::no);
    EXPECT_EQ(fleet_sampler_offer(&s, clock, at({0, 1000, 0, 180, true, {}}), 4500), FleetSend::period);
    FleetPosition none{};
    EXPECT_EQ(fleet_sampler_offer(&s, clock, none, 100000), FleetSend::no) << "no fix, nothing sent";
    FleetSampler every{};
    const FleetSampling each{100, 30, 1, 1};
    for (long long ms = 0; ms < 3000; ms += 1000)
        EXPECT_NE(fleet_sampler_offer(&every, each, at({0, 0, 0, 0, false, {}}), ms), FleetSend::no);
}

TEST(FleetSampler, Geometry)
{
    EXPECT_NEAR(fleet_distance_m(48, 11, 49, 11), 111195, 1);
    EXPECT_NEAR(fleet_distance_m(0, 179.9995, 0, -179.9995), 111.2, 0.1) << "across the date line";
    EXPECT_DOUBLE_EQ(fleet_course_change(350, 10), 20);
    EXPECT_DOUBLE_EQ(fleet_course_change(10, 190), 180);
    EXPECT_DOUBLE_EQ(fleet_course_change(0, 720), 0);
}
