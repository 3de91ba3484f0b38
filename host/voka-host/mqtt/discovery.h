#pragma once
// Home Assistant discovery: one retained config message per main value of a
// device (AC phase voltages and frequency per channel, DC voltage and
// current, battery currents, module currents), each reading its value out of
// the device's state topic, and one binary_sensor per device for its alarm
// rule family ("AC_", "DC_", "RC_"), on while any alarm of that family of
// that device is in the system's alarm list. All carry a device block per
// power system and its status topic as availability.
//
// Topics: homeassistant/<sensor|binary_sensor>/<node>/<object>/config, the
// node being voka_<site>_<system> and the object <data_id>_<value>, both
// with anything but letters, digits, '_' and '-' made '_'.
#include <string>
#include <vector>

#include "host/voka-host/events/event.h"
#include "host/voka-host/mqtt/mqtt_config.h"
#include "host/voka-host/mqtt/mqtt_message.h"

namespace mqtt {

// The node of a power system's discovery topics and ids: two systems whose
// names differ only in characters made '_' ("hall 1", "hall_1") share it.
std::string discovery_node(const MqttConfig& c, const std::string& system);

// The discovery messages of one device, from a record it published (which
// tells how many channels, batteries and modules it has).
std::vector<MqttMessage> discovery_messages(const MqttConfig& c, const std::string& system,
                                            const PublishedRecord& record);

}  // namespace mqtt
