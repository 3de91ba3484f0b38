#include "host_program/site_config.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <fmt/format.h>
#include <json/reader.h>

#include "host_program/mqtt/discovery.h"

namespace {

[[noreturn]] void fail(const std::string& source, const std::string& place, const std::string& problem) {
    throw ConfigError(fmt::format("{}: {}: {}", source, place, problem));
}

// An optional integer member in [lo, hi].
std::optional<long long> int_member(const Json::Value& obj, const char* key, long long lo, long long hi,
                                    const std::string& source, const std::string& place) {
    if (!obj.isMember(key)) return std::nullopt;
    const Json::Value& v = obj[key];
    if (!v.isIntegral() || (v.isInt64() ? (v.asInt64() < lo || v.asInt64() > hi) : true))
        fail(source, place + "." + key, fmt::format("must be an integer from {} to {}", lo, hi));
    return v.asInt64();
}

std::optional<std::string> string_member(const Json::Value& obj, const char* key, const std::string& source,
                                         const std::string& place) {
    if (!obj.isMember(key)) return std::nullopt;
    if (!obj[key].isString() || obj[key].asString().empty())
        fail(source, place + "." + key, "must be a non-empty string");
    return obj[key].asString();
}

PowerSystemConfig power_system(const Json::Value& e, size_t index, const std::string& source) {
    const std::string place = fmt::format("power_systems[{}]", index);
    if (!e.isObject()) fail(source, place, "must be an object");
    PowerSystemConfig ps;
    ps.element = e;
    ps.name = string_member(e, "name", source, place).value_or(fmt::format("ps{}", index + 1));
    ps.device_type = string_member(e, "device_type", source, place).value_or("voka");
    const auto id = int_member(e, "data_id", 0, 0xFFFFFFFFLL, source, place);
    if (!id) fail(source, place + ".data_id", "is missing (the master's data id)");
    ps.data_id = static_cast<uint32_t>(*id);
    ps.port = string_member(e, "port", source, place);
    ps.scenario = string_member(e, "scenario", source, place);
    ps.poll_interval_ms =
        static_cast<int>(int_member(e, "poll_interval_ms", 0, 3'600'000, source, place).value_or(ps.poll_interval_ms));
    ps.retries = static_cast<unsigned>(int_member(e, "retries", 0, 10, source, place).value_or(ps.retries));
    ps.reconnect_min_ms =
        static_cast<int>(int_member(e, "reconnect_min_ms", 10, 3'600'000, source, place).value_or(ps.reconnect_min_ms));
    ps.reconnect_max_ms =
        static_cast<int>(int_member(e, "reconnect_max_ms", 10, 3'600'000, source, place).value_or(ps.reconnect_max_ms));
    if (ps.reconnect_max_ms < ps.reconnect_min_ms)
        fail(source, place + ".reconnect_max_ms", fmt::format("must not be below reconnect_min_ms ({})", ps.reconnect_min_ms));
    ps.stale_after_rounds = static_cast<unsigned>(
        int_member(e, "stale_after_rounds", 1, 1000, source, place).value_or(ps.stale_after_rounds));
    ps.rectifier_modules = static_cast<unsigned>(
        int_member(e, "rectifier_modules", 0, 255, source, place).value_or(ps.rectifier_modules));
    int_member(e, "baud_rate", 50, 4'000'000, source, place);
    int_member(e, "address", 0, 255, source, place);
    int_member(e, "protocol_ver", 0, 255, source, place);
    int_member(e, "answer_timeout_ms", 1, 600'000, source, place);
    for (const char* list : {"acSetting", "dcSetting"}) {
        if (!e.isMember(list)) continue;
        const Json::Value& children = e[list];
        if (!children.isArray()) fail(source, place + "." + list, "must be an array of device settings");
        for (Json::ArrayIndex i = 0; i < children.size(); ++i) {
            const std::string child = fmt::format("{}.{}[{}]", place, list, i);
            if (!children[i].isObject()) fail(source, child, "must be an object");
            if (!int_member(children[i], "data_id", 0, 0xFFFFFFFFLL, source, child))
                fail(source, child + ".data_id", "is missing");
        }
    }
    if (!e.isMember("rcSetting") || e["rcSetting"].isNull())
        fail(source, place + ".rcSetting", "is missing (every power system has its rectifiers)");
    return ps;
}

// Every data id of the site with the place that gives it: a master's (which
// its rectifier device carries too) and each AC and DC device's.
void refuse_repeated_data_ids(const Json::Value& list, const std::string& source) {
    std::map<uint32_t, std::string> seen;
    const auto add = [&](const Json::Value& id, const std::string& place) {
        const auto [it, fresh] = seen.emplace(static_cast<uint32_t>(id.asUInt()), place);
        if (!fresh) fail(source, place, fmt::format("repeats data id {} of {}", it->first, it->second));
    };
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const std::string place = fmt::format("power_systems[{}]", i);
        add(list[i]["data_id"], place + ".data_id");
        for (const char* children : {"acSetting", "dcSetting"})
            for (Json::ArrayIndex k = 0; k < list[i][children].size(); ++k)
                add(list[i][children][k]["data_id"], fmt::format("{}.{}[{}].data_id", place, children, k));
    }
}

}  // namespace

SiteConfig site_config_from_json(const Json::Value& root, const std::string& source) {
    if (!root.isObject()) fail(source, "(top)", "must be a JSON object");
    SiteConfig site;
    site.path = source;
    site.name = string_member(root, "name", source, "(top)").value_or(std::filesystem::path(source).stem().string());
    site.plugin = string_member(root, "plugin", source, "(top)");
    site.history = history_config_from_json(root["history"], source);
    site.http = http_config_from_json(root["http"], source);
    const Json::Value& list = root["power_systems"];
    if (!list.isArray() || list.empty()) fail(source, "power_systems", "must be a non-empty array");
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) site.power_systems.push_back(power_system(list[i], i, source));
    for (size_t i = 0; i < site.power_systems.size(); ++i)
        for (size_t k = 0; k < i; ++k) {
            if (site.power_systems[i].name == site.power_systems[k].name)
                fail(source, fmt::format("power_systems[{}].name", i), "repeats the name of power_systems[" +
                                                                          std::to_string(k) + "]");
            if (site.power_systems[i].port && site.power_systems[i].port == site.power_systems[k].port)
                fail(source, fmt::format("power_systems[{}].port", i), "is already used by power_systems[" +
                                                                          std::to_string(k) + "]");
        }
    refuse_repeated_data_ids(list, source);
    site.mqtt = mqtt_config_from_json(root["mqtt"], source);
    for (size_t i = 0; site.mqtt && i < site.power_systems.size(); ++i)
        if (!is_topic_level(site.power_systems[i].name))
            fail(source, fmt::format("power_systems[{}].name", i), "must not hold '/', '+' or '#' (it is a topic level)");
    // Home Assistant would take two such systems for one device, each hiding the other's values.
    for (size_t i = 0; site.mqtt && site.mqtt->homeassistant && i < site.power_systems.size(); ++i)
        for (size_t k = 0; k < i; ++k) {
            const std::string node = mqtt::discovery_node(*site.mqtt, site.power_systems[i].name);
            if (node == mqtt::discovery_node(*site.mqtt, site.power_systems[k].name))
                fail(source, fmt::format("power_systems[{}].name", i),
                     fmt::format("\"{}\" gives the same Home Assistant id ({}) as power_systems[{}].name \"{}\": "
                                 "rename one, or turn mqtt.homeassistant off",
                                 site.power_systems[i].name, node, k, site.power_systems[k].name));
        }
    return site;
}

bool site_has_device(const SiteConfig& site, uint32_t data_id) {
    for (const PowerSystemConfig& ps : site.power_systems) {
        if (ps.data_id == data_id) return true;
        for (const char* list : {"acSetting", "dcSetting"})
            for (const Json::Value& child : ps.element[list])
                if (child["data_id"].asUInt() == data_id) return true;
    }
    return false;
}

SiteConfig read_site_config(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, "(file)", "cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(s.data(), s.data() + s.size(), &root, &errors);
    } catch (const std::exception& e) {  // jsoncpp throws for input nested too deeply
        fail(path, "(JSON)", std::string("is not usable JSON: ") + e.what());
    }
    if (!parsed) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
        fail(path, "(JSON)", "is not valid JSON: " + errors);
    }
    try {
        return site_config_from_json(root, path);
    } catch (const Json::Exception& e) {  // a value jsoncpp cannot convert
        fail(path, "(JSON)", e.what());
    }
}
