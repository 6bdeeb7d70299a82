// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's MQTT output: positions, NMEA and the daemon's presence
// published to a broker by a thread of its own, in the fleet process.
#pragma once

#include <cstddef>

#include "outputs/fleet.h"
#include "outputs/mqtt.h"

struct MqttOutput;

// Reads the TLS files and starts the output's thread; nullptr when it cannot
// run (said in the log). Called before the fleet process gives up root: the
// files are read here, never again.
[[nodiscard]] MqttOutput* mqtt_open(const MqttSettings* settings, const char* router_id, const char* version);
// Starts the broker connection, once the process runs as its own user.
void mqtt_start(MqttOutput* mq);
// One read's sentences, the report they left and the module family, taken at
// at_ms (monotonic): reads are framed into receiver cycles by that time, so
// reads that waited while the fleet process was away keep their cycles. May
// wait while the thread is far behind.
void mqtt_write(MqttOutput* mq, const char* nmea, std::size_t length, const PositionReport* report, int moving,
                const char* family, long long at_ms);
// The module family the online notice names, known before the first read.
void mqtt_family(MqttOutput* mq, const char* family);
// Publishes "offline" and disconnects, then ends the thread.
void mqtt_close(MqttOutput* mq);
// A snapshot for the status report.
MqttStatus mqtt_status(MqttOutput* mq);
