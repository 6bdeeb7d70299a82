// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's MQTT output: positions, NMEA and the daemon's presence
// published to a broker by a thread of its own, in the fleet process.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "outputs/fleet.h"
#include "outputs/mqtt.h"

struct MqttOutput;

struct FleetStore;
struct FleetSettings;

// Reads the TLS files; nullptr when the output cannot run (said in the
// log). Called before the fleet process gives up root: the files are read
// here, never again. Positions are taken from the store (records for
// kStoreMqtt), which the output shares with the others under store_lock.
[[nodiscard]] MqttOutput* mqtt_open(const MqttSettings* settings, const FleetSettings* fleet, const char* router_id,
                                    const char* version, FleetStore* store, pthread_mutex_t* store_lock);
// The store positions come from (nullptr: none any longer, at a stop).
void mqtt_attach_store(MqttOutput* mq, FleetStore* store);
// Starts the output's thread and the broker connection, once the process
// runs as its own user.
void mqtt_start(MqttOutput* mq);
// The module family the online notice names, known before the first read.
void mqtt_family(MqttOutput* mq, const char* family);
// One cycle's sentences for the NMEA topic (when it is on): published while
// connected, else dropped.
void mqtt_nmea(MqttOutput* mq, const char* text, std::size_t length);
// Whether a position is kept for the broker now: always with a backlog;
// without one only while connected (a position it does not keep is counted
// as dropped).
bool mqtt_keeps(MqttOutput* mq);
// The settings in use: topic, client id, periods.
const MqttConfig* mqtt_config_of(const MqttOutput* mq);
// Publishes "offline" and disconnects, then ends the thread.
void mqtt_close(MqttOutput* mq);
// A snapshot for the status report (its backlog is the store's to tell).
MqttStatus mqtt_status(MqttOutput* mq);
