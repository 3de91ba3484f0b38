#include "host/voka-host/running_site.h"

#include <algorithm>
#include <ctime>
#include <map>

#include <fmt/format.h>

#include "host/voka-host/alarms/alarm_engine.h"
#include "host/voka-host/lines.h"
#include "host/voka-host/presentation/time_text.h"
#include "host/voka-host/records/record_types.h"
#include "host/voka-host/work_queue.h"

namespace {

int64_t now_s() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

RunningSite::RunningSite(SiteConfig site, const PluginLibrary& plugin, Services services)
    : site_(std::move(site)), plugin_(plugin), services_(services) {
    for (const auto& ps : site_.power_systems) systems_.push_back(make(ps, site_.path));
}

RunningSite::~RunningSite() { stop(); }

std::unique_ptr<PowerSystem> RunningSite::make(const PowerSystemConfig& ps, const std::string& site_path) const {
    // The opener keeps its own copies: the site it came from may be replaced.
    return std::make_unique<PowerSystem>(ps, plugin_, services_.host,
                                         [ps, site_path](const PMBusProtocol& master) {
                                             return open_line(ps, master, site_path);
                                         });
}

void RunningSite::notice(std::string text) const { services_.host.events.handle(event::Notice{std::move(text)}); }

void RunningSite::announce(const PowerSystemConfig& ps) const {
    notice(fmt::format("voka-host: power system \"{}\" on {}", ps.name, describe_line(ps)));
}

void RunningSite::open(bool line_required) {
    for (size_t i = 0; i < systems_.size(); ++i) {
        announce(site_.power_systems[i]);
        systems_[i]->open(line_required);
    }
}

void RunningSite::start(PowerSystem::Hooks hooks) {
    hooks_ = std::move(hooks);
    for (auto& system : systems_) system->start(hooks_);
    started_ = true;
}

void RunningSite::stop() {
    for (auto& system : systems_) system->stop();
}

bool RunningSite::has_device(uint32_t data_id) {
    for (size_t i = 0; i < systems_.size(); ++i)
        if (site_.power_systems[i].data_id == data_id || systems_[i]->has_device(data_id)) return true;
    return false;
}

void RunningSite::end_orphaned_alarms() {
    const std::string reason = "its device is no longer in the site";
    const auto in_site = [this](uint32_t data_id) { return has_device(data_id); };
    for (const Alarm& a : services_.db.end_alarms_of_devices_not(in_site, now_s(), reason)) {
        notice(fmt::format("voka-host: alarm {} \"{}\" of device {} ended: {}", a.rule_id, a.text, a.data_id, reason));
        services_.host.events.handle(event::AlarmChanged{a, false});
    }
    services_.alarms.forget_devices_not(in_site);
}

void RunningSite::reload_images() {
    std::vector<PowerSystem*> all;
    for (auto& system : systems_) all.push_back(system.get());
    reload_images(all);
}

void RunningSite::reload_images(const std::vector<PowerSystem*>& systems) {
    for (const HistoryRow& row : services_.db.latest_images()) {
        for (PowerSystem* system : systems) {
            const auto accepted = system->load_from_cache(row.data_id, row.device_type, row.image);
            if (!accepted) continue;
            if (*accepted)
                notice(fmt::format("voka-host: {} {} reloaded from its record of {}", row.device_type, row.data_id,
                                   local_clock_text(row.time)));
            else if (row.record_type == kAcRecord.number && row.image.size() == kAcRecord.size_for(0))
                notice(fmt::format("voka-host: {} {} had no channels when last stored; nothing to reload",
                                   row.device_type, row.data_id));
            else
                notice(fmt::format("voka-host: {} {} refused its stored record of {} ({} bytes)", row.device_type,
                                   row.data_id, local_clock_text(row.time), row.image.size()));
        }
    }
}

SiteChanges RunningSite::apply(SiteConfig next) {
    SiteChanges changes = compare_sites(site_, next);
    // Everything that can refuse the new site, before anything stops.
    std::map<std::string, std::unique_ptr<PowerSystem>> made;
    for (const auto& names : {changes.added, changes.changed})
        for (const std::string& name : names)
            for (const auto& ps : next.power_systems)
                if (ps.name == name) {
                    check_line(ps, next.path);
                    made[name] = make(ps, next.path);
                }

    std::map<std::string, std::unique_ptr<PowerSystem>> kept;
    for (size_t i = 0; i < systems_.size(); ++i) {
        const std::string& name = site_.power_systems[i].name;
        if (made.count(name) || std::find(changes.removed.begin(), changes.removed.end(), name) != changes.removed.end())
            systems_[i]->stop();
        else
            kept[name] = std::move(systems_[i]);
    }
    // Their last rounds' work, then their newest images, stored before they go.
    services_.host.work.drain();
    services_.db.flush();
    systems_.clear();

    site_ = std::move(next);
    std::vector<PowerSystem*> fresh;
    for (const auto& ps : site_.power_systems) {
        if (auto it = kept.find(ps.name); it != kept.end()) {
            systems_.push_back(std::move(it->second));
            continue;
        }
        systems_.push_back(std::move(made.at(ps.name)));
        fresh.push_back(systems_.back().get());
        announce(ps);
        systems_.back()->open(false);  // a port missing now is waited for, as a running service does
    }
    end_orphaned_alarms();
    reload_images(fresh);
    if (started_)
        for (PowerSystem* system : fresh) system->start(hooks_);
    return changes;
}
