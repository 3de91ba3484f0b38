#include "host/voka-host/site_config.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <fmt/format.h>
#include <json/reader.h>

#include "host/voka-host/mqtt/discovery.h"
#include "host/line/serial_line.h"

namespace {

using schema::Key;
using schema::Reader;
using schema::Reload;
using schema::Type;

constexpr double kMostDataId = 0xFFFFFFFF;

bool non_empty_string(const Json::Value& v) { return !v.asString().empty(); }
constexpr Reload kRestarts = Reload::restarts_power_system;

bool settable_baud_rate(const Json::Value& v) { return is_supported_baud_rate(v.asInt()); }

std::string settable_baud_rates() {
    std::string rates;
    for (int rate : supported_baud_rates()) rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
    return "a rate a serial line can be set to (" + rates + ")";
}

// The plug-in's AC and DC devices read their thresholds as atof does.
constexpr Key kAppKeys[] = {
    {.name = "diff_v", .type = Type::number, .help = "the voltage change a device reports at once",
     .reload = kRestarts, .reader = Reader::plugin, .default_text = "the device's"},
    {.name = "diff_i", .type = Type::number, .help = "the current change a device reports at once",
     .reload = kRestarts, .reader = Reader::plugin, .default_text = "the device's"},
};
const schema::Section kApp{"\"appSetting\"", kAppKeys};

constexpr Key kChildKeys[] = {
    {.name = "data_id", .type = Type::integer, .help = "the device's data id, unique in the site", .reload = kRestarts,
     .reader = Reader::both, .lo = 0, .hi = kMostDataId, .required = true},
    {.name = "appSetting", .type = Type::object, .help = "the device's thresholds", .reload = kRestarts,
     .reader = Reader::plugin, .inner = &kApp},
};
const schema::Section kChild{"a device setting", kChildKeys};

constexpr Key kRcKeys[] = {
    {.name = "appSetting", .type = Type::object, .help = "unused by the rectifiers", .reload = kRestarts,
     .reader = Reader::plugin},
};
const schema::Section kRc{"\"rcSetting\"", kRcKeys};

constexpr Key kPowerSystemKeys[] = {
    {.name = "name", .type = Type::string, .help = "the power system's name in views, topics and logs; a new name is "
     "another system", .reload = kRestarts, .default_text = "ps<N>"},
    {.name = "device_type", .type = Type::string, .help = "the master's type in the plug-in", .reload = kRestarts,
     .default_text = "voka"},
    {.name = "data_id", .type = Type::integer, .help = "the master's (and rectifiers') data id", .reload = kRestarts,
     .reader = Reader::both, .lo = 0, .hi = kMostDataId, .required = true, .missing = "the master's data id"},
    {.name = "port", .type = Type::string, .help = "the serial port", .reload = kRestarts, .reader = Reader::both,
     .default_text = "the embedded simulator"},
    {.name = "scenario", .type = Type::string, .help = "the embedded simulator's scenario file", .reload = kRestarts,
     .default_text = "the bundled example"},
    {.name = "baud_rate", .type = Type::integer, .help = "the line's rate", .reload = kRestarts,
     .reader = Reader::plugin, .default_text = "9600", .accepts = settable_baud_rate,
     .rule_of = settable_baud_rates},
    {.name = "address", .type = Type::integer, .help = "the power system's address on the line", .reload = kRestarts,
     .reader = Reader::plugin, .default_text = "1", .lo = 0, .hi = 255},
    {.name = "protocol_ver", .type = Type::integer, .help = "the protocol version byte sent", .reload = kRestarts,
     .reader = Reader::plugin, .default_text = "32", .lo = 0, .hi = 255},
    {.name = "answer_timeout_ms", .type = Type::integer, .help = "how long an answer is waited for",
     .reload = kRestarts, .reader = Reader::plugin, .default_text = "1000", .lo = 1, .hi = 600'000},
    {.name = "poll_interval_ms", .type = Type::integer, .help = "time from one round's start to the next",
     .reload = kRestarts, .default_text = "5000", .lo = 0, .hi = 3'600'000},
    {.name = "retries", .type = Type::integer, .help = "attempts after a command's first fails", .reload = kRestarts,
     .default_text = "2", .lo = 0, .hi = 10},
    {.name = "reconnect_min_ms", .type = Type::integer, .help = "the first wait before reopening a failed port; doubles",
     .reload = kRestarts, .default_text = "1000", .lo = 10, .hi = 3'600'000},
    {.name = "reconnect_max_ms", .type = Type::integer, .help = "the longest wait before reopening a failed port",
     .reload = kRestarts, .default_text = "30000", .lo = 10, .hi = 3'600'000},
    {.name = "stale_after_rounds", .type = Type::integer, .help = "failed rounds before the data are stale",
     .reload = kRestarts, .default_text = "3", .lo = 1, .hi = 1000},
    {.name = "rectifier_modules", .type = Type::integer, .help = "for the answer time-out check only",
     .reload = kRestarts, .default_text = "3", .lo = 0, .hi = 255},
    {.name = "acSetting", .type = Type::array, .help = "one element per AC distribution unit", .reload = kRestarts,
     .reader = Reader::plugin, .rule = "an array of device settings", .inner = &kChild},
    {.name = "dcSetting", .type = Type::array, .help = "one element per DC distribution unit", .reload = kRestarts,
     .reader = Reader::plugin, .rule = "an array of device settings", .inner = &kChild},
    {.name = "rcSetting", .type = Type::object, .help = "the rectifiers' settings", .reload = kRestarts,
     .reader = Reader::plugin, .required = true, .missing = "every power system has its rectifiers", .inner = &kRc},
};
const schema::Section kPowerSystem{"a power system", kPowerSystemKeys};

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
    {.name = "power_systems", .type = Type::array, .help = "the power systems polled", .reload = kRestarts, .lo = 1,
     .required = true, .missing = "at least one power system", .inner = &kPowerSystem},
};

// A power system's element, already checked against kPowerSystem.
PowerSystemConfig power_system(const Json::Value& e, size_t index, schema::Problems& problems) {
    const std::string place = fmt::format("power_systems[{}]", index);
    PowerSystemConfig ps;
    ps.element = e;
    ps.name = e.get("name", fmt::format("ps{}", index + 1)).asString();
    ps.device_type = e.get("device_type", ps.device_type).asString();
    ps.data_id = e["data_id"].asUInt();
    if (e.isMember("port")) ps.port = e["port"].asString();
    if (e.isMember("scenario")) ps.scenario = e["scenario"].asString();
    ps.poll_interval_ms = e.get("poll_interval_ms", ps.poll_interval_ms).asInt();
    ps.retries = e.get("retries", ps.retries).asUInt();
    ps.reconnect_min_ms = e.get("reconnect_min_ms", ps.reconnect_min_ms).asInt();
    ps.reconnect_max_ms = e.get("reconnect_max_ms", ps.reconnect_max_ms).asInt();
    if (ps.reconnect_max_ms < ps.reconnect_min_ms)
        problems.add(place + ".reconnect_max_ms", fmt::format("must not be below reconnect_min_ms ({})", ps.reconnect_min_ms));
    ps.stale_after_rounds = e.get("stale_after_rounds", ps.stale_after_rounds).asUInt();
    ps.rectifier_modules = e.get("rectifier_modules", ps.rectifier_modules).asUInt();
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
