#include "host/voka-host/mqtt/topics.h"

#include <json/value.h>

#include "host/voka-host/presentation/alarm_json.h"
#include "host/voka-host/presentation/json_text.h"

namespace mqtt {

namespace {

// Events, the alarm list and the status must reach the broker even when
// states need not.
int at_least_once(const MqttConfig& c) { return c.qos > 1 ? c.qos : 1; }

}  // namespace

std::string system_topic(const MqttConfig& c, const std::string& system) {
    return c.topic_prefix + "/" + c.site + "/" + system;
}

std::string client_id(const MqttConfig& c, const std::string& system) { return c.client_id + "-" + system; }

std::string status_of_line_state(const std::string& state) { return state == "ok" ? "online" : state; }

MqttMessage state_message(const MqttConfig& c, const std::string& system, uint32_t data_id,
                          const std::string& record_json) {
    return {system_topic(c, system) + "/" + std::to_string(data_id) + "/state", record_json, c.qos, true,
            MqttMessage::Kind::state};
}

MqttMessage alarms_message(const MqttConfig& c, const std::string& system, const std::vector<Alarm>& active) {
    Json::Value list(Json::arrayValue);
    for (const Alarm& a : active) list.append(alarm_json(a));
    return {system_topic(c, system) + "/alarms", one_line_json(list), at_least_once(c), true,
            MqttMessage::Kind::state};
}

MqttMessage alarm_event_message(const MqttConfig& c, const std::string& system, const Alarm& a, bool started) {
    return {system_topic(c, system) + "/alarm/event", one_line_json(alarm_event_json(a, started)), at_least_once(c), false,
            MqttMessage::Kind::event};
}

MqttMessage status_message(const MqttConfig& c, const std::string& system, const std::string& status) {
    return {system_topic(c, system) + "/status", status, at_least_once(c), true, MqttMessage::Kind::state};
}

}  // namespace mqtt
