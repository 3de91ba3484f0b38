#pragma once
// The topics and payloads voka-host publishes, as pure functions of what
// happened. Every topic of a power system lies under
// <prefix>/<site>/<system>/:
//   <data_id>/state   a device's latest decoded record (JSON object), retained
//   alarms            the system's active alarms (JSON list), retained
//   alarm/event       one message per alarm start and end, QoS 1
//   status            "online", "stale", "reconnecting"; "offline" as last will, retained
#include <cstdint>
#include <string>
#include <vector>

#include "host/voka-host/base/alarm.h"
#include "host/voka-host/mqtt/mqtt_config.h"
#include "host/voka-host/mqtt/mqtt_message.h"

namespace mqtt {

// <prefix>/<site>/<system>
std::string system_topic(const MqttConfig& c, const std::string& system);
// The client id of a power system's connection: <client_id>-<system>.
std::string client_id(const MqttConfig& c, const std::string& system);

// The status word for a line state ("ok", "stale", "reconnecting").
std::string status_of_line_state(const std::string& state);

MqttMessage state_message(const MqttConfig& c, const std::string& system, uint32_t data_id,
                          const std::string& record_json);
MqttMessage alarms_message(const MqttConfig& c, const std::string& system, const std::vector<Alarm>& active);
MqttMessage alarm_event_message(const MqttConfig& c, const std::string& system, const Alarm& a, bool started);
MqttMessage status_message(const MqttConfig& c, const std::string& system, const std::string& status);

}  // namespace mqtt
