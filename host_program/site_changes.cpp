#include "host_program/site_changes.h"

namespace {

const PowerSystemConfig* find(const SiteConfig& site, const std::string& name) {
    for (const PowerSystemConfig& ps : site.power_systems)
        if (ps.name == name) return &ps;
    return nullptr;
}

}  // namespace

SiteChanges compare_sites(const SiteConfig& running, const SiteConfig& next) {
    SiteChanges changes;
    for (const PowerSystemConfig& ps : running.power_systems)
        if (!find(next, ps.name)) changes.removed.push_back(ps.name);
    for (const PowerSystemConfig& ps : next.power_systems) {
        const PowerSystemConfig* before = find(running, ps.name);
        if (!before)
            changes.added.push_back(ps.name);
        else if (before->element != ps.element)
            changes.changed.push_back(ps.name);
    }
    if (running.plugin != next.plugin) changes.kept_until_restart.push_back("the plug-in");
    if (running.history.database != next.history.database || running.history.policy != next.history.policy)
        changes.kept_until_restart.push_back("the history settings");
    // The publisher holds one broker connection per power system, made at start.
    if (running.mqtt != next.mqtt)
        changes.kept_until_restart.push_back("the MQTT settings");
    else if (running.mqtt && (!changes.added.empty() || !changes.removed.empty()))
        changes.kept_until_restart.push_back("the power systems published to the MQTT broker");
    return changes;
}
