#include "host/voka-host/site_config.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <fmt/format.h>
#include <json/reader.h>

#include "host/voka-host/mqtt/discovery.h"

namespace {

using schema::Key;
using schema::Reader;
using schema::Reload;
using schema::Type;

bool non_empty_string(const Json::Value& v) { return !v.asString().empty(); }

// history, http and mqtt check their own keys (own_reader); they are listed for the table.
const Key kSiteKeys[] = {
    {.name = "name", .type = Type::string, .help = "the site's name, as the live page shows it",
     .reload = Reload::next_start, .default_text = "the site file's name without folder and extension",
     .accepts = non_empty_string, .rule = "a non-empty string"},
    {.name = "plugin", .type = Type::string, .help = "the plug-in file (--plugin wins)", .reload = Reload::next_start,
     .default_text = "$VOKA_PLUGIN, else beside voka-host"},
    {.name = "history", .type = Type::object, .help = "the history database and its bounds",
     .reload = Reload::next_start, .inner = &history_keys(), .own_reader = true},
    {.name = "http", .type = Type::object, .help = "the HTTP side: /metrics, the state API, the live page",
     .reload = Reload::applied, .default_text = "off", .inner = &http_keys(), .own_reader = true},
    {.name = "mqtt", .type = Type::object, .help = "publishing to an MQTT broker", .reload = Reload::next_start,
     .default_text = "off", .inner = &mqtt_keys(), .own_reader = true},
    {.name = "power_systems", .type = Type::array, .help = "the power systems polled", .reload = Reload::restarts_power_system, .lo = 1,
     .required = true, .missing = "at least one power system", .inner = &power_system_keys::kPowerSystem},
};

// A power system's element, already checked against its keys.
PowerSystemConfig power_system(const Json::Value& e, size_t index, schema::Problems& problems) {
    const std::string place = fmt::format("power_systems[{}]", index);
    PowerSystemConfig ps;
    ps.element = e;
    ps.name = fmt::format("ps{}", index + 1);
    schema::fill(e, power_system_keys::kPowerSystem, ps);
    if (ps.reconnect_max_ms < ps.reconnect_min_ms)
        problems.add(place + ".reconnect_max_ms", fmt::format("must not be below reconnect_min_ms ({})", ps.reconnect_min_ms));
    for (const Json::Value& child : e["acSetting"]) ps.ac_data_ids.push_back(child["data_id"].asUInt());
    for (const Json::Value& child : e["dcSetting"]) ps.dc_data_ids.push_back(child["data_id"].asUInt());
    return ps;
}

// Every data id of the site with the place that gives it: a master's (which
// its rectifier device carries too) and each AC and DC device's.
void refuse_repeated_data_ids(const std::vector<PowerSystemConfig>& systems, schema::Problems& problems) {
    std::map<uint32_t, std::string> seen;
    const auto add = [&](uint32_t id, const std::string& place) {
        const auto [it, fresh] = seen.emplace(id, place);
        if (!fresh) problems.add(place, fmt::format("repeats data id {} of {}", it->first, it->second));
    };
    for (size_t i = 0; i < systems.size(); ++i) {
        const std::string place = fmt::format("power_systems[{}]", i);
        add(systems[i].data_id, place + ".data_id");
        for (const auto& [children, ids] : {std::pair{"acSetting", &systems[i].ac_data_ids},
                                            std::pair{"dcSetting", &systems[i].dc_data_ids}})
            for (size_t k = 0; k < ids->size(); ++k)
                add((*ids)[k], fmt::format("{}.{}[{}].data_id", place, children, k));
    }
}

}  // namespace

const schema::Section& site_keys() {
    static const schema::Section section{"the site file", kSiteKeys};
    return section;
}

SiteConfig site_config_from_json(const Json::Value& root, const std::string& source) {
    schema::Problems problems(source);
    schema::check(root, site_keys(), "", problems);
    if (!root.isObject()) problems.throw_if_any();
    SiteConfig site;
    site.path = source;
    site.json = root;
    site.name = root.get("name", std::filesystem::path(source).stem().string()).asString();
    if (root.isMember("plugin") && root["plugin"].isString()) site.plugin = root["plugin"].asString();
    // Each section's reader checks its own keys: their problems join the rest.
    problems.collect([&] { site.history = history_config_from_json(root["history"], source); });
    problems.collect([&] { site.http = http_config_from_json(root["http"], source); });
    problems.collect([&] { site.mqtt = mqtt_config_from_json(root["mqtt"], source); });
    // What follows compares power systems, and needs each of them usable.
    if (!problems.empty()) problems.throw_if_any();
    const Json::Value& list = root["power_systems"];
    for (Json::ArrayIndex i = 0; i < list.size(); ++i)
        site.power_systems.push_back(power_system(list[i], i, problems));
    for (size_t i = 0; i < site.power_systems.size(); ++i)
        for (size_t k = 0; k < i; ++k) {
            if (site.power_systems[i].name == site.power_systems[k].name)
                problems.add(fmt::format("power_systems[{}].name", i),
                             fmt::format("repeats the name of power_systems[{}]", k));
            if (site.power_systems[i].port && site.power_systems[i].port == site.power_systems[k].port)
                problems.add(fmt::format("power_systems[{}].port", i),
                             fmt::format("is already used by power_systems[{}]", k));
        }
    refuse_repeated_data_ids(site.power_systems, problems);
    for (size_t i = 0; site.mqtt && i < site.power_systems.size(); ++i)
        if (!is_topic_level(site.power_systems[i].name))
            problems.add(fmt::format("power_systems[{}].name", i), "must not hold '/', '+' or '#' (it is a topic level)");
    // Home Assistant would take two such systems for one device, each hiding the other's values.
    for (size_t i = 0; site.mqtt && site.mqtt->homeassistant && i < site.power_systems.size(); ++i)
        for (size_t k = 0; k < i; ++k) {
            const std::string node = mqtt::discovery_node(*site.mqtt, site.power_systems[i].name);
            if (node == mqtt::discovery_node(*site.mqtt, site.power_systems[k].name))
                problems.add(fmt::format("power_systems[{}].name", i),
                             fmt::format("\"{}\" gives the same Home Assistant id ({}) as power_systems[{}].name \"{}\": "
                                         "rename one, or turn mqtt.homeassistant off",
                                         site.power_systems[i].name, node, k, site.power_systems[k].name));
        }
    problems.throw_if_any();
    return site;
}

bool site_has_device(const SiteConfig& site, uint32_t data_id) {
    return device_owner(site.power_systems, data_id).has_value();
}

SiteConfig read_site_config(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) schema::refuse(path, "(file)", "cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    return site_config_from_text(text.str(), path);
}

SiteConfig site_config_from_text(const std::string& text, const std::string& source) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception& e) {  // jsoncpp throws for input nested too deeply
        schema::refuse(source, "(JSON)", std::string("is not usable JSON: ") + e.what());
    }
    if (!parsed) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
        schema::refuse(source, "(JSON)", "is not valid JSON: " + errors);
    }
    try {
        return site_config_from_json(root, source);
    } catch (const Json::Exception& e) {  // a value jsoncpp cannot convert
        schema::refuse(source, "(JSON)", e.what());
    }
}
