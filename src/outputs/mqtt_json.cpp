// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's settings as used.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "outputs/mqtt.h"
#include "outputs/report.h"

namespace {

// MQTT carries its texts as UTF-8 without U+0000; a text that is not would
// be refused by the broker or reach it changed.
bool mqtt_text(const char* s)
{
    for (auto* p = reinterpret_cast<const unsigned char*>(s); *p;) {
        const std::size_t n = utf8_length(p);
        if (n == 0)
            return false;
        p += n;
    }
    return true;
}

// Copies text whole into a field, or says it would not fit.
bool copy_whole(char* field, std::size_t size, const char* text)
{
    return static_cast<std::size_t>(std::snprintf(field, size, "%s", text)) < size;
}

bool backlog_valid(const char* backlog)
{
    if (!backlog || !backlog[0])
        return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(backlog, &end, 10);
    return backlog[0] >= '0' && backlog[0] <= '9' && *end == '\0' && errno == 0 && v <= 0xFFFFFFFFul;
}

}  // namespace

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
    // "[2001:db8::5]" is how the remote streams take an IPv6 address too.
    const std::size_t host_length = std::strlen(s->host);
    unsigned char v6[16];
    if (host_length > 2 && s->host[0] == '[' && s->host[host_length - 1] == ']' && host_length - 2 < sizeof c->host) {
        std::memcpy(c->host, s->host + 1, host_length - 2);
        c->host[host_length - 2] = '\0';
        if (inet_pton(AF_INET6, c->host, v6) != 1) {
            *fault = "a host in brackets that is no IPv6 address";
            return false;
        }
    } else if (!copy_whole(c->host, sizeof c->host, s->host)) {
        *fault = "a host name longer than 255 bytes";
        return false;
    }
    c->tls = s->tls != 0;
    c->port = (s->port & 0xFFFFu) ? s->port & 0xFFFFu : c->tls ? 8883 : 1883;
    std::snprintf(c->cafile, sizeof c->cafile, "%s", s->cafile && s->cafile[0] ? s->cafile : kMqttCaFile);
    const char* id = s->client_id && s->client_id[0] ? s->client_id
                     : router_id && router_id[0]     ? router_id
                     : host_name && host_name[0]     ? host_name
                                                     : "gnssd";
    if (!copy_whole(c->client_id, sizeof c->client_id, id) || !mqtt_text(c->client_id)) {
        *fault = "a client id longer than 127 bytes or not UTF-8";
        return false;
    }
    if (s->username && !mqtt_text(s->username)) {
        *fault = "a user name that is not UTF-8";
        return false;
    }
    const bool topic_fits = s->topic && s->topic[0]
                                ? copy_whole(c->topic, sizeof c->topic, s->topic)
                                : static_cast<std::size_t>(std::snprintf(c->topic, sizeof c->topic, "gnss/%s",
                                                                         c->client_id)) < sizeof c->topic;
    if (!topic_fits || !mqtt_text(c->topic)) {
        *fault = "a topic longer than 191 bytes or not UTF-8";
        return false;
    }
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
    if (!backlog_valid(s->backlog)) {
        *fault = "a backlog that is not a number";
        return false;
    }
    c->qos = s->qos && std::strcmp(s->qos, "0") == 0 ? 0 : 1;
    c->backlog = s->backlog && s->backlog[0] ? static_cast<uint32_t>(std::strtoul(s->backlog, nullptr, 10))
                                             : kMqttBacklogDefault;
    c->nmea = s->nmea != 0;
    return true;
}
