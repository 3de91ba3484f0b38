#include "host/voka-host/alarms/alarm_engine.h"

namespace {

// A rule's family: its id up to the last '_' ("RC" for "RC_0"); the whole id
// when it has none.
std::string_view family_of(std::string_view rule_id) { return rule_id.substr(0, rule_id.rfind('_')); }

}  // namespace

bool AlarmEngine::evaluate(uint32_t data_id, const std::vector<rule_value>& rules, int64_t now) {
    std::vector<std::pair<Alarm, bool>> changes;
    bool any_active = false;
    {
        MutexLock lock(mutex_);
        for (const rule_value& r : rules) {
            const KeyView key{data_id, r.rule_id, r.text};
            const auto it = active_.find(key);
            if (r.holds && it == active_.end()) {
                Alarm a{data_id, r.rule_id, r.text, r.grade, r.alarm_code, r.alarm_name, now, 0};
                active_.emplace(Key{data_id, r.rule_id, r.text}, a);
                alarm_started(a);
                changes.emplace_back(std::move(a), true);
            } else if (!r.holds && it != active_.end()) {
                Alarm a = std::move(it->second);
                a.ended = now;
                active_.erase(it);
                alarm_ended(a);
                changes.emplace_back(std::move(a), false);
            }
        }
        end_unreported(data_id, rules, now, changes);
        // Keys sort by data id first: the device's alarms, if any, start here.
        const auto first = active_.lower_bound(data_id);
        any_active = first != active_.end() && std::get<0>(first->first) == data_id;
    }
    if (listener_)
        for (const auto& [alarm, started] : changes) listener_(alarm, started);
    return any_active;
}

void AlarmEngine::end_unreported(uint32_t data_id, const std::vector<rule_value>& rules, int64_t now,
                                 std::vector<std::pair<Alarm, bool>>& changes) {
    for (auto it = active_.lower_bound(data_id); it != active_.end() && std::get<0>(it->first) == data_id;) {
        const std::string_view family = family_of(it->second.rule_id);
        bool family_named = false, reported = false;
        for (const rule_value& r : rules) {
            if (family_of(r.rule_id) != family) continue;
            family_named = true;
            reported = r.rule_id == it->second.rule_id && r.text == it->second.text;
            if (reported) break;
        }
        if (!family_named || reported) {
            ++it;
            continue;
        }
        Alarm a = std::move(it->second);
        a.ended = now;
        a.end_reason = kEndNoLongerReported;
        it = active_.erase(it);
        alarm_ended(a);
        changes.emplace_back(std::move(a), false);
    }
}

std::vector<Alarm> AlarmEngine::active() const {
    MutexLock lock(mutex_);
    std::vector<Alarm> list;
    for (const auto& [key, alarm] : active_) list.push_back(alarm);
    return list;
}

void AlarmEngine::restore(const std::vector<Alarm>& alarms) {
    MutexLock lock(mutex_);
    for (const Alarm& a : alarms) active_.emplace(Key{a.data_id, a.rule_id, a.text}, a);
}

void AlarmEngine::forget_devices_not(const std::function<bool(uint32_t)>& in_site) {
    MutexLock lock(mutex_);
    std::erase_if(active_, [&](const auto& entry) { return !in_site(entry.second.data_id); });
}
