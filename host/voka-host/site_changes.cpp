#include "host/voka-host/site_changes.h"

#include <algorithm>
#include <string_view>

namespace {

const PowerSystemConfig* find(const SiteConfig& site, const std::string& name) {
    for (const PowerSystemConfig& ps : site.power_systems)
        if (ps.name == name) return &ps;
    return nullptr;
}

const Json::Value& member(const Json::Value& object, const char* key) {
    static const Json::Value absent;
    return object.isObject() && object.isMember(key) ? object[key] : absent;
}

// What a reload must do for the keys of `section` that differ between two
// checked objects, looked up in the key table: `restarts` set when one
// restarts its power system; the path of each key kept until the next start
// added to `kept`. An object is compared key by key, so that each change is
// named and weighed by its own description.
void weigh(const Json::Value& before, const Json::Value& after, const schema::Section& section,
           const std::string& place, bool& restarts, std::vector<std::string>& kept) {
    for (const schema::Key& key : section.keys) {
        const Json::Value& a = member(before, key.name);
        const Json::Value& b = member(after, key.name);
        if (a == b) continue;
        const std::string path = place.empty() ? key.name : place + "." + key.name;
        if (key.inner && key.type == schema::Type::object && key.reload != schema::Reload::applied) {
            weigh(a, b, *key.inner, path, restarts, kept);
            continue;
        }
        if (key.reload == schema::Reload::restarts_power_system) restarts = true;
        if (key.reload == schema::Reload::next_start) kept.push_back(path);
    }
}

}  // namespace

SiteChanges compare_sites(const SiteConfig& running, const SiteConfig& next) {
    SiteChanges changes;
    const schema::Section& element = *site_keys().find("power_systems")->inner;
    for (const PowerSystemConfig& ps : running.power_systems)
        if (!find(next, ps.name)) changes.removed.push_back(ps.name);
    for (const PowerSystemConfig& ps : next.power_systems) {
        const PowerSystemConfig* before = find(running, ps.name);
        if (!before) {
            changes.added.push_back(ps.name);
            continue;
        }
        bool restarts = false;
        std::vector<std::string> kept;
        weigh(before->element, ps.element, element, "power_systems[" + ps.name + "]", restarts, kept);
        if (restarts) changes.changed.push_back(ps.name);
        changes.kept_until_restart.insert(changes.kept_until_restart.end(), kept.begin(), kept.end());
    }
    for (const schema::Key& key : site_keys().keys) {
        if (std::string_view(key.name) == "power_systems") continue;  // weighed system by system above
        bool restarts = false;
        const schema::Section one{site_keys().name, std::span(&key, 1)};
        weigh(running.json, next.json, one, "", restarts, changes.kept_until_restart);
    }
    // The same keys, other contents: a secret file the MQTT settings read holds another password.
    const bool mqtt_key_changed = std::any_of(changes.kept_until_restart.begin(), changes.kept_until_restart.end(),
                                              [](const std::string& path) { return path.rfind("mqtt", 0) == 0; });
    if (running.mqtt != next.mqtt && !mqtt_key_changed) changes.kept_until_restart.push_back("mqtt");
    // The publisher holds one broker connection per power system, made at start.
    if (running.mqtt && running.mqtt == next.mqtt && (!changes.added.empty() || !changes.removed.empty()))
        changes.kept_until_restart.push_back("the power systems published to the MQTT broker");
    return changes;
}
