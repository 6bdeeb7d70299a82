// SPDX-License-Identifier: BSD-2-Clause
// The fleet feed's settings as the service and the fleet process use them.
#include <cstring>
#include <string>

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
    EXPECT_EQ(c.port, 1883u);
    EXPECT_STREQ(c.client_id, "router9");
    EXPECT_STREQ(c.topic, "gnss/router9");
    EXPECT_STREQ(c.cafile, kMqttCaFile);
    EXPECT_EQ(c.period, 5u);
    EXPECT_EQ(c.period_halt, 60u);
    EXPECT_EQ(c.qos, 1);
    EXPECT_EQ(c.backlog, 3600u);
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
    EXPECT_EQ(c.port, 1884u);
    EXPECT_EQ(c.qos, 0);
    EXPECT_EQ(c.backlog, 0u);
    EXPECT_EQ(c.period, 1u);
    s.topic = wild;
    EXPECT_FALSE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(fault, "a topic with a wildcard or no name");
    s.topic = empty;
    s.host = empty;
    EXPECT_FALSE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(fault, "no host");
#else
    EXPECT_FALSE(mqtt_config(&s, "", "router9", &c, &fault));
    EXPECT_STREQ(fault, "a daemon built without MQTT");
#endif
}
