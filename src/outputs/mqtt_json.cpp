// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's settings as used.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "outputs/mqtt.h"

bool mqtt_config(const MqttSettings* s, const char* router_id, const char* host_name, MqttConfig* c, const char** fault)
{
    *fault = nullptr;
    *c = MqttConfig{};
    if (!s || !s->enabled)
        return false;
#ifndef GNSSD_HAVE_MQTT
    *fault = "a daemon built without MQTT";
    return false;
#endif
    if (!s->host || !s->host[0]) {
        *fault = "no host";
        return false;
    }
    std::snprintf(c->host, sizeof c->host, "%s", s->host);
    c->tls = s->tls != 0;
    c->port = (s->port & 0xFFFFu) ? s->port & 0xFFFFu : c->tls ? 8883 : 1883;
    std::snprintf(c->cafile, sizeof c->cafile, "%s", s->cafile && s->cafile[0] ? s->cafile : kMqttCaFile);
    const char* id = s->client_id && s->client_id[0] ? s->client_id
                     : router_id && router_id[0]     ? router_id
                     : host_name && host_name[0]     ? host_name
                                                     : "gnssd";
    std::snprintf(c->client_id, sizeof c->client_id, "%s", id);
    if (s->topic && s->topic[0])
        std::snprintf(c->topic, sizeof c->topic, "%s", s->topic);
    else
        std::snprintf(c->topic, sizeof c->topic, "gnss/%s", c->client_id);
    // A prefix is joined with "/position": no empty level in between.
    for (std::size_t n = std::strlen(c->topic); n > 1 && c->topic[n - 1] == '/'; --n)
        c->topic[n - 1] = '\0';
    // MQTT has no wildcard in a topic one publishes to.
    if (std::strpbrk(c->topic, "+#") || !c->topic[0] || std::strcmp(c->topic, "/") == 0) {
        *fault = "a topic with a wildcard or no name";
        return false;
    }
    c->period = s->period ? s->period : 5;
    c->period_halt = s->period_halt ? s->period_halt : 60;
    c->qos = s->qos && std::strcmp(s->qos, "0") == 0 ? 0 : 1;
    c->backlog = s->backlog && s->backlog[0] ? static_cast<uint32_t>(std::strtoul(s->backlog, nullptr, 10))
                                             : kMqttBacklogDefault;
    c->nmea = s->nmea != 0;
    return true;
}
