#include "host/voka-host/mqtt/discovery.h"

#include <fmt/format.h>
#include <json/value.h>

#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/mqtt/topics.h"

namespace mqtt {

namespace {

std::string id_part(std::string s) {
    for (char& ch : s)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-'))
            ch = '_';
    return s;
}

// A main value: its object id, name, value template and Home Assistant class.
struct Sensor {
    std::string key, name, path;
    const char* device_class;
};

const char* device_class_of(std::string_view unit) {
    if (unit == "V") return "voltage";
    if (unit == "A") return "current";
    return "frequency";
}

// The readings that get a sensor; nothing for the rest.
std::optional<Sensor> sensor_of(RecordKind kind, const Reading& r) {
    const char* cls = device_class_of(r.unit);
    switch (kind) {
        case RecordKind::ac:
            if (r.channel < 0) return std::nullopt;  // the phase currents are not among the main values
            if (r.name == "f")
                return Sensor{fmt::format("channel_{}_f", r.channel), fmt::format("channel {} frequency", r.channel + 1),
                              fmt::format("channels[{}].f", r.channel), cls};
            return Sensor{fmt::format("channel_{}_{}", r.channel, r.name),
                          fmt::format("channel {} phase {} voltage", r.channel + 1, char('A' + r.phase)),
                          fmt::format("channels[{}].{}", r.channel, r.name), cls};
        case RecordKind::dc:
            if (r.battery >= 0)
                return Sensor{fmt::format("battery_{}_i", r.battery), fmt::format("battery {} current", r.battery + 1),
                              fmt::format("battery_currents[{}]", r.battery), cls};
            return Sensor{std::string(r.name), r.name == "v" ? "voltage" : "current", std::string(r.name), cls};
        case RecordKind::rectifier:
            if (r.module < 0) return std::nullopt;
            return Sensor{fmt::format("module_{}_current", r.module), fmt::format("module {} current", r.module + 1),
                          fmt::format("modules[{}].current", r.module), cls};
    }
    return std::nullopt;
}

const char* family_of(RecordKind kind) {
    switch (kind) {
        case RecordKind::ac: return "AC";
        case RecordKind::dc: return "DC";
        case RecordKind::rectifier: return "RC";
    }
    return "";
}

struct Common {
    std::string node;
    Json::Value device, availability;
};

Common common(const MqttConfig& c, const std::string& system) {
    Common k;
    k.node = discovery_node(c, system);
    k.device["identifiers"].append(k.node);
    k.device["name"] = c.site + " " + system;
    k.device["model"] = "voka power system";
    Json::Value a(Json::objectValue);
    a["topic"] = system_topic(c, system) + "/status";
    a["value_template"] = "{{ 'online' if value == 'online' else 'offline' }}";
    k.availability.append(a);
    return k;
}

MqttMessage config_message(const std::string& component, const Common& k, const std::string& object, Json::Value v) {
    v["unique_id"] = k.node + "_" + object;
    v["device"] = k.device;
    v["availability"] = k.availability;
    return {fmt::format("homeassistant/{}/{}/{}/config", component, k.node, object), one_line_json(v), 1, true,
            MqttMessage::Kind::state};
}

}  // namespace

std::string discovery_node(const MqttConfig& c, const std::string& system) {
    return id_part("voka_" + c.site + "_" + system);
}

std::vector<MqttMessage> discovery_messages(const MqttConfig& c, const std::string& system,
                                            const PublishedRecord& record) {
    std::vector<MqttMessage> out;
    const RecordType* type = record.decoded.type;
    if (!type || !record.decoded.error.empty()) return out;
    const Common k = common(c, system);
    const std::string label = fmt::format("{} {}", record.device_type, record.data_id);
    for (const Reading& r : record.decoded.readings) {
        const auto s = sensor_of(type->kind, r);
        if (!s) continue;
        Json::Value v(Json::objectValue);
        v["name"] = label + " " + s->name;
        v["state_topic"] = fmt::format("{}/{}/state", system_topic(c, system), record.data_id);
        v["value_template"] = "{{ value_json." + s->path + " }}";
        v["device_class"] = s->device_class;
        v["unit_of_measurement"] = std::string(r.unit);
        v["state_class"] = "measurement";
        out.push_back(config_message("sensor", k, fmt::format("{}_{}", record.data_id, s->key), std::move(v)));
    }
    const std::string family = family_of(type->kind);
    Json::Value v(Json::objectValue);
    v["name"] = label + " " + family + " alarm";
    v["state_topic"] = system_topic(c, system) + "/alarms";
    v["value_template"] = fmt::format(
        "{{{{ 'ON' if value_json | selectattr('data_id', 'eq', {}) | selectattr('rule_id', 'match', '{}_') | list | "
        "length > 0 else 'OFF' }}}}",
        record.data_id, family);
    v["device_class"] = "problem";
    out.push_back(config_message("binary_sensor", k, fmt::format("{}_{}_alarm", record.data_id, family), std::move(v)));
    return out;
}

}  // namespace mqtt
