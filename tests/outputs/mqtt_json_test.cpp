// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's settings as the service and the fleet process use them.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "outputs/mqtt.h"

TEST(MqttJson, SettingsAsUsed)
{
    char empty[] = "", host[] = "broker.example";
    MqttSettings s{};
    s.host = host;
    s.cafile = s.certfile = s.keyfile = s.username = s.password = s.client_id = s.topic = s.qos = s.backlog = empty;
    MqttConfig c;
    const char* fault = nullptr;
    EXPECT_FALSE(mqtt_config(&s, "", "", &c, &fault));
    EXPECT_EQ(fault, nullptr) << "off is no fault";
    s.enabled = 1;
#ifdef GNSSD_HAVE_MQTT
    char topic[] = "fleet/truck7//", zero[] = "0", five[] = "5", wild[] = "fleet/+";
    ASSERT_TRUE(mqtt_config(&s, "", "router9", &c, &fault));
    // Port, periods, QoS and backlog.
    using Numbers = std::vector<long long>;
    EXPECT_EQ((Numbers{c.port, c.period, c.period_halt, c.qos, c.backlog}), (Numbers{1883, 5, 60, 1, 3600}));
    EXPECT_STREQ(c.client_id, "router9");
    EXPECT_STREQ(c.topic, "gnss/router9");
    EXPECT_STREQ(c.cafile, kMqttCaFile);
    s.tls = 1;
    ASSERT_TRUE(mqtt_config(&s, "id-from-router", "router9", &c, &fault));
    EXPECT_EQ(c.port, 8883u);
    EXPECT_STREQ(c.client_id, "id-from-router");
    s.topic = topic;
    s.qos = zero;
    s.backlog = zero;
    s.port = 65536 + 1884;
    s.period = 1;
    s.period_halt = 1;
    s.client_id = five;
    ASSERT_TRUE(mqtt_config(&s, "id-from-router", "router9", &c, &fault));
    EXPECT_STREQ(c.topic, "fleet/truck7");
    EXPECT_STREQ(c.client_id, "5");
    EXPECT_EQ((Numbers{c.port, c.period, c.qos, c.backlog}), (Numbers{1884, 1, 0, 0}));
    s.topic = wild;
    EXPECT_FALSE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(fault, "a topic with a wildcard or no name");
    s.topic = empty;
    s.host = empty;
    EXPECT_FALSE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(fault, "no host");
    s.host = host;
    // What would reach the broker cut, changed or meaning something else is refused.
    const std::string long_topic = "fleet/" + std::string(185, 'a') + "\xc3\xa9";  // é cut by the field
    const std::string long_id(128, 'r');
    struct Case {
        char* MqttSettings::*field;
        std::string value;
        const char* fault;  // nullptr: taken
    } cases[] = {
        {&MqttSettings::topic, long_topic, "a topic longer than 191 bytes or not UTF-8"},
        {&MqttSettings::topic, "fleet/\xc3", "a topic longer than 191 bytes or not UTF-8"},
        {&MqttSettings::topic, "fleet/\xc3\xa9", nullptr},
        {&MqttSettings::topic, "fleet/#", "a topic with a wildcard or no name"},
        {&MqttSettings::client_id, "\xffid", "a client id longer than 127 bytes or not UTF-8"},
        {&MqttSettings::client_id, long_id, "a client id longer than 127 bytes or not UTF-8"},
        {&MqttSettings::username, "us\xed\xa0\x80r", "a user name that is not UTF-8"},
        {&MqttSettings::host, "[::1]", nullptr},
        {&MqttSettings::host, "[broker]", "a host in brackets that is no IPv6 address"},
        {&MqttSettings::host, std::string(256, 'h'), "a host name longer than 255 bytes"},
        {&MqttSettings::qos, "2", nullptr},  // warned by the settings reader: 1 is used
        {&MqttSettings::backlog, "lots", "a backlog that is not a number"},
        {&MqttSettings::backlog, "-1", "a backlog that is not a number"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.value);
        MqttSettings t = s;
        std::string value = k.value;
        t.*k.field = value.data();
        fault = nullptr;
        EXPECT_EQ(mqtt_config(&t, "", "router9", &c, &fault), k.fault == nullptr);
        if (k.fault) {
            EXPECT_STREQ(fault, k.fault);
        }
    }
    s.topic = empty;
    char bracketed[] = "[2001:db8::5]";
    s.host = bracketed;
    ASSERT_TRUE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(c.host, "2001:db8::5");
#else
    EXPECT_FALSE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(fault, "a daemon built without MQTT");
#endif
}
