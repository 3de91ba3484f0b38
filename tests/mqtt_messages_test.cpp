// What voka-host hands the broker, before any network: topics and payloads,
// the dead band, the outbox's drop policy and Home Assistant discovery.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_program/mqtt/deadband.h"
#include "host_program/mqtt/discovery.h"
#include "host_program/mqtt/outbox.h"
#include "host_program/mqtt/topics.h"
#include "rc/rc_record.h"
#include "tests/support/ac_image.h"
#include "tests/support/json.h"

namespace {

MqttConfig config() {
    MqttConfig c;
    c.host = "b";
    c.site = "north";
    c.client_id = "voka-north";
    return c;
}

MqttMessage state(const std::string& topic, const std::string& payload) {
    return {topic, payload, 0, true, MqttMessage::Kind::state};
}
MqttMessage alarm_event(const std::string& payload) { return {"e", payload, 1, false, MqttMessage::Kind::event}; }

std::vector<std::string> drain(Outbox& o) {
    std::vector<std::string> out;
    while (auto m = o.pop()) out.push_back(m->topic + "=" + m->payload);
    return out;
}

Reading reading(float v, bool missing = false) { return {.name = "v", .unit = "V", .value = v, .missing = missing}; }

}  // namespace

TEST(MqttMessages, TopicsAndPayloadsOfASystem) {
    MqttConfig c = config();
    c.qos = 0;
    Alarm a{.data_id = 1, .rule_id = "RC_0", .text = "module 2", .grade = 2, .alarm_code = "c", .alarm_name = "n",
            .started = 1700000000, .ended = 1700000060};

    const MqttMessage s = mqtt::state_message(c, "hall", 11, R"({"v":1})");
    EXPECT_EQ(s.topic, "voka/north/hall/11/state");
    EXPECT_TRUE(s.retain);
    EXPECT_EQ(s.qos, 0);

    const MqttMessage start = mqtt::alarm_event_message(c, "hall", a, true);
    EXPECT_EQ(start.topic, "voka/north/hall/alarm/event");
    EXPECT_EQ(start.qos, 1);  // never lost, whatever the state QoS
    EXPECT_FALSE(start.retain);
    EXPECT_EQ(start.kind, MqttMessage::Kind::event);
    const Json::Value sj = parse_json(start.payload);
    EXPECT_EQ(sj["state"].asString(), "start");
    EXPECT_EQ(sj["rule_id"].asString(), "RC_0");
    EXPECT_EQ(sj["text"].asString(), "module 2");
    EXPECT_EQ(sj["started"].asInt64(), 1700000000);
    EXPECT_FALSE(sj.isMember("ended"));
    EXPECT_EQ(parse_json(mqtt::alarm_event_message(c, "hall", a, false).payload)["ended"].asInt64(), 1700000060);

    const MqttMessage list = mqtt::alarms_message(c, "hall", {a, a});
    EXPECT_EQ(list.topic, "voka/north/hall/alarms");
    EXPECT_TRUE(list.retain);
    EXPECT_EQ(parse_json(list.payload).size(), 2u);
    EXPECT_EQ(mqtt::alarms_message(c, "hall", {}).payload, "[]");

    const MqttMessage status = mqtt::status_message(c, "hall", mqtt::status_of_line_state("ok"));
    EXPECT_EQ(status.topic, "voka/north/hall/status");
    EXPECT_EQ(status.payload, "online");
    EXPECT_EQ(mqtt::status_of_line_state("stale"), "stale");
    EXPECT_EQ(mqtt::status_of_line_state("reconnecting"), "reconnecting");
    EXPECT_EQ(mqtt::client_id(c, "hall"), "voka-north-hall");
    c.qos = 2;
    EXPECT_EQ(mqtt::alarm_event_message(c, "hall", a, true).qos, 2);
}

TEST(MqttMessages, DeadbandSendsMovesBeyondTheBandAndSlowDrifts) {
    Deadband every(0);
    EXPECT_TRUE(every.passes(1, {reading(10)}));
    EXPECT_TRUE(every.passes(1, {reading(10)}));  // 0: every round

    Deadband band(0.5);
    struct Step { uint32_t id; std::vector<Reading> readings; bool sent; };
    const std::vector<Step> steps = {
        {1, {reading(10)}, true},               // first of its device
        {1, {reading(10.4f)}, false},
        {1, {reading(10.5f)}, false},           // exactly the band is not beyond it
        {1, {reading(10.6f)}, true},            // drifted past the band from what was sent
        {2, {reading(10.6f)}, true},            // devices apart
        {1, {reading(10.6f, true)}, true},      // became missing
        {1, {reading(10.6f)}, true},            // came back
        {1, {reading(10.6f), reading(1)}, true},  // a value more (a module added)
        {1, {reading(10.2f), reading(1)}, false},
        {1, {reading(10.0f), reading(1)}, true},
    };
    for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(band.passes(steps[i].id, steps[i].readings), steps[i].sent) << i;
}

TEST(MqttMessages, OutboxKeepsLatestStatesAndDropsStatesBeforeEvents) {
    Outbox o(2, 3);
    o.push(state("a", "1"));
    o.push(alarm_event("e1"));
    o.push(state("b", "1"));
    o.push(state("a", "2"));  // replaces a=1 in its place
    EXPECT_EQ(o.size(), 3u);
    o.push(state("c", "1"));  // a third state: the oldest (a) goes
    o.push(alarm_event("e2"));
    o.push({"q", "1", 0, false, MqttMessage::Kind::state});  // not retained: never replaced, dropped like any state
    EXPECT_EQ(o.dropped_states(), 2u);
    EXPECT_EQ(o.dropped_events(), 0u);
    EXPECT_EQ(drain(o), (std::vector<std::string>{"e=e1", "c=1", "e=e2", "q=1"}));

    for (const char* e : {"1", "2", "3", "4"}) o.push(alarm_event(e));  // past the event bound: the oldest event goes
    EXPECT_EQ(o.dropped_events(), 1u);
    EXPECT_EQ(drain(o), (std::vector<std::string>{"e=2", "e=3", "e=4"}));
    EXPECT_FALSE(o.pop());
    o.push(state("a", "3"));  // counts were kept right through the pops: no drop now
    o.push(state("b", "3"));
    EXPECT_EQ(o.dropped_states(), 2u);
}

TEST(MqttMessages, DiscoveryDescribesTheMainValuesOfEachDevice) {
    const MqttConfig c = config();
    const auto ac_image = make_ac_image(11, 1, 0, {{230, 231, 229, 50}, {1, 2, 3, 49.9f}});
    const PublishedRecord ac{11, "voka-ac", kAcRecord.number, decode_record(kAcRecord.number, ac_image)};
    std::vector<uint8_t> rc_image(kRectifierRecord.size_for(3));
    rc_image[offsetof(tele_c_voka_rc, channel_count)] = 3;
    const PublishedRecord rc{1, "voka-rc", kRectifierRecord.number, decode_record(kRectifierRecord.number, rc_image)};
    ASSERT_EQ(rc.decoded.error, "");

    const auto ac_messages = mqtt::discovery_messages(c, "hall 1", ac);
    ASSERT_EQ(ac_messages.size(), 2 * 4 + 1u);  // a, b, c, f per channel (no phase currents), one alarm family
    const MqttMessage& b1 = ac_messages[5];
    EXPECT_EQ(b1.topic, "homeassistant/sensor/voka_north_hall_1/11_channel_1_b/config");
    EXPECT_TRUE(b1.retain);
    const Json::Value v = parse_json(b1.payload);
    EXPECT_EQ(v["state_topic"].asString(), "voka/north/hall 1/11/state");
    EXPECT_EQ(v["value_template"].asString(), "{{ value_json.channels[1].b }}");
    EXPECT_EQ(v["device_class"].asString(), "voltage");
    EXPECT_EQ(v["unit_of_measurement"].asString(), "V");
    EXPECT_EQ(v["state_class"].asString(), "measurement");
    EXPECT_EQ(v["unique_id"].asString(), "voka_north_hall_1_11_channel_1_b");
    EXPECT_EQ(v["device"]["identifiers"][0].asString(), "voka_north_hall_1");
    EXPECT_EQ(v["availability"][0]["topic"].asString(), "voka/north/hall 1/status");
    const Json::Value f = parse_json(ac_messages[7].payload);
    EXPECT_EQ(f["device_class"].asString(), "frequency");
    EXPECT_EQ(f["unit_of_measurement"].asString(), "Hz");
    const Json::Value alarm = parse_json(ac_messages.back().payload);
    EXPECT_EQ(ac_messages.back().topic, "homeassistant/binary_sensor/voka_north_hall_1/11_AC_alarm/config");
    EXPECT_EQ(alarm["state_topic"].asString(), "voka/north/hall 1/alarms");
    EXPECT_NE(alarm["value_template"].asString().find("selectattr('data_id', 'eq', 11) | selectattr('rule_id', 'match', 'AC_')"),
              std::string::npos);
    EXPECT_EQ(alarm["device_class"].asString(), "problem");

    const auto rc_messages = mqtt::discovery_messages(c, "hall 1", rc);
    ASSERT_EQ(rc_messages.size(), 3 + 1u);  // module currents only
    EXPECT_EQ(parse_json(rc_messages[2].payload)["value_template"].asString(), "{{ value_json.modules[2].current }}");
    EXPECT_EQ(rc_messages[3].topic, "homeassistant/binary_sensor/voka_north_hall_1/1_RC_alarm/config");

    const PublishedRecord broken{11, "voka-ac", kAcRecord.number, decode_record(kAcRecord.number, std::span(ac_image).first(3))};
    EXPECT_TRUE(mqtt::discovery_messages(c, "hall 1", broken).empty());
}
