// What voka-host hands the broker, before any network: the alarm messages'
// delivery, the dead band, the outbox's drop policy and Home Assistant discovery.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/mqtt/deadband.h"
#include "host/voka-host/mqtt/discovery.h"
#include "host/voka-host/mqtt/outbox.h"
#include "host/voka-host/mqtt/topics.h"
#include "plugin/rc/rc_record.h"
#include "tests/support/ac_image.h"
#include "tests/support/json.h"

namespace {

MqttConfig config(int qos = 0) {
    MqttConfig c;
    c.site = "north";
    c.qos = qos;
    return c;
}

MqttMessage state(const std::string& topic, const std::string& payload, bool retain = true) {
    return {topic, payload, 0, retain, MqttMessage::Kind::state};
}
MqttMessage alarm_event(const std::string& payload) { return {"e", payload, 1, false, MqttMessage::Kind::event}; }

std::vector<std::string> drain(Outbox& o) {
    std::vector<std::string> out;
    while (auto m = o.pop()) out.push_back(m->topic + "=" + m->payload);
    return out;
}

Reading reading(float v, bool missing = false) { return {.name = "v", .unit = "V", .value = v, .missing = missing}; }

}  // namespace

// Alarm events are never lost nor replayed as retained; states follow the configured QoS.
TEST(MqttMessages, AlarmMessagesAreDeliveredAtLeastOnce) {
    const Alarm a{.data_id = 1, .rule_id = "RC_0", .text = "m2", .grade = 1, .alarm_code = "c", .alarm_name = "n",
                  .started = 1700000000, .ended = 1700000060};
    for (int qos : {0, 2}) {
        const MqttMessage start = mqtt::alarm_event_message(config(qos), "hall", a, true);
        EXPECT_EQ(start.topic, "voka/north/hall/alarm/event");
        EXPECT_EQ(start.qos, std::max(qos, 1));
        EXPECT_FALSE(start.retain);
        EXPECT_EQ(start.kind, MqttMessage::Kind::event);
        EXPECT_EQ(mqtt::alarms_message(config(qos), "hall", {a}).qos, std::max(qos, 1));
        EXPECT_EQ(mqtt::state_message(config(qos), "hall", 11, "{}").qos, qos);
    }
    const Json::Value end = parse_json(mqtt::alarm_event_message(config(), "hall", a, false).payload);
    EXPECT_EQ(end["state"].asString(), "end");
    EXPECT_EQ(end["started"].asInt64(), 1700000000);
    EXPECT_EQ(end["ended"].asInt64(), 1700000060);
    EXPECT_FALSE(parse_json(mqtt::alarm_event_message(config(), "hall", a, true).payload).isMember("ended"));
    // An end for a reason of its own carries it; an end by clearing has none.
    EXPECT_FALSE(end.isMember("end_reason"));
    Alarm unreported = a;
    unreported.end_reason = kEndNoLongerReported;
    const Json::Value gone = parse_json(mqtt::alarm_event_message(config(), "hall", unreported, false).payload);
    EXPECT_EQ(gone["end_reason"].asString(), "no longer reported");
}

TEST(MqttMessages, DeadbandSendsMovesBeyondTheBandAndSlowDrifts) {
    Deadband every(0);
    EXPECT_TRUE(every.passes(1, {reading(10)}));
    EXPECT_TRUE(every.passes(1, {reading(10)}));

    Deadband band(0.5);
    struct Step { uint32_t id; std::vector<Reading> readings; bool sent; };
    const std::vector<Step> steps = {
        {1, {reading(10)}, true},                  // first of its device
        {1, {reading(10.4f)}, false},
        {1, {reading(10.5f)}, false},              // exactly the band is not beyond it
        {1, {reading(10.6f)}, true},               // drifted past the band from what was sent
        {2, {reading(10.6f)}, true},               // devices apart
        {1, {reading(10.6f, true)}, true},         // became missing
        {1, {reading(10.6f)}, true},               // came back
        {1, {reading(10.6f), reading(1)}, true},   // a value more (a module added)
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
    o.push(state("a", "2"));      // replaces a=1 in its place
    o.push(state("c", "1"));      // a third state: the oldest (a) goes
    o.push(alarm_event("e2"));
    o.push(state("q", "1", false));  // not retained: never replaced, dropped like any state
    EXPECT_EQ(o.dropped_states(), 2u);
    EXPECT_EQ(o.dropped_events(), 0u);
    EXPECT_EQ(drain(o), (std::vector<std::string>{"e=e1", "c=1", "e=e2", "q=1"}));

    for (const char* e : {"1", "2", "3", "4"}) o.push(alarm_event(e));  // past the event bound: the oldest event goes
    EXPECT_EQ(o.dropped_events(), 1u);
    EXPECT_EQ(drain(o), (std::vector<std::string>{"e=2", "e=3", "e=4"}));
    o.push(state("a", "3"));  // the counts followed the pops: no drop now
    o.push(state("b", "3"));
    EXPECT_EQ(o.dropped_states(), 2u);
}

TEST(MqttMessages, DiscoveryDescribesTheMainValuesOfEachDevice) {
    const auto ac_image = make_ac_image(11, 1, 0, {{230, 231, 229, 50}, {1, 2, 3, 49.9f}});
    const PublishedRecord ac{11, "voka-ac", kAcRecord.number, decode_record(kAcRecord.number, ac_image)};
    std::vector<uint8_t> rc_image(kRectifierRecord.size_for(3));
    rc_image[offsetof(tele_c_voka_rc, channel_count)] = 3;
    const PublishedRecord rc{1, "voka-rc", kRectifierRecord.number, decode_record(kRectifierRecord.number, rc_image)};

    const auto ac_messages = mqtt::discovery_messages(config(), "hall 1", ac);
    ASSERT_EQ(ac_messages.size(), 2 * 4 + 1u);  // a, b, c, f per channel (no phase currents), one alarm family
    EXPECT_EQ(ac_messages[5].topic, "homeassistant/sensor/voka_north_hall_1/11_channel_1_b/config");
    const Json::Value b1 = parse_json(ac_messages[5].payload);
    EXPECT_EQ(b1["state_topic"].asString(), "voka/north/hall 1/11/state");
    EXPECT_EQ(b1["value_template"].asString(), "{{ value_json.channels[1].b }}");
    EXPECT_EQ(b1["device_class"].asString() + b1["unit_of_measurement"].asString(), "voltageV");
    EXPECT_EQ(b1["availability"][0]["topic"].asString(), "voka/north/hall 1/status");
    const Json::Value f = parse_json(ac_messages[7].payload);
    EXPECT_EQ(f["device_class"].asString() + f["unit_of_measurement"].asString(), "frequencyHz");
    EXPECT_EQ(ac_messages.back().topic, "homeassistant/binary_sensor/voka_north_hall_1/11_AC_alarm/config");
    EXPECT_NE(parse_json(ac_messages.back().payload)["value_template"].asString().find(
                  "selectattr('data_id', 'eq', 11) | selectattr('rule_id', 'match', 'AC_')"),
              std::string::npos);

    const auto rc_messages = mqtt::discovery_messages(config(), "hall 1", rc);
    ASSERT_EQ(rc_messages.size(), 3 + 1u);  // module currents only
    EXPECT_EQ(parse_json(rc_messages[2].payload)["value_template"].asString(), "{{ value_json.modules[2].current }}");
    const PublishedRecord broken{11, "voka-ac", kAcRecord.number, decode_record(kAcRecord.number, std::span(ac_image).first(3))};
    EXPECT_TRUE(mqtt::discovery_messages(config(), "hall 1", broken).empty());
}
