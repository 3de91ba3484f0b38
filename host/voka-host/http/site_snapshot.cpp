#include "host/voka-host/http/site_snapshot.h"

#include <algorithm>
#include <chrono>

namespace {

double system_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

SiteSnapshot::SiteSnapshot(const std::string& site, const std::vector<PowerSystemConfig>& systems, Clock now)
    : now_(now ? now : system_now), systems_(systems) {
    state_.site = site;
    for (const PowerSystemConfig& ps : systems) {
        SystemState s;
        s.name = ps.name;
        s.data_id = ps.data_id;
        state_.systems.push_back(std::move(s));
    }
}

SystemState* SiteSnapshot::system_named(const std::string& name) {
    for (SystemState& s : state_.systems)
        if (s.name == name) return &s;
    return nullptr;
}

SystemState* SiteSnapshot::system_with_device(uint32_t data_id) {
    const auto owner = device_owner(systems_, data_id);
    return owner ? &state_.systems[*owner] : nullptr;
}

void SiteSnapshot::alarm_changed(const Alarm& a, bool started) {
    SystemState* s = system_with_device(a.data_id);
    if (!s) return;  // a device the site no longer has
    auto& alarms = s->alarms;
    // A condition is known by all three: one rule id covers every module.
    const auto same = std::find_if(alarms.begin(), alarms.end(), [&](const Alarm& x) {
        return x.data_id == a.data_id && x.rule_id == a.rule_id && x.text == a.text;
    });
    if (same != alarms.end()) alarms.erase(same);
    if (started) alarms.push_back(a);
}

void SiteSnapshot::handle(const Event& e) {
    // Only the kinds that change the picture take the lock.
    std::visit(Overloaded{
                   [this](const event::RecordPublished& x) {
                       const PublishedRecord& r = x.record;
                       auto device = std::make_shared<const DeviceState>(
                           DeviceState{r.data_id, r.device_type, r.record_type, now_(), r.decoded});
                       MutexLock lock(mutex_);
                       if (SystemState* s = system_named(x.system))
                           s->devices[{r.data_id, r.record_type}] = std::move(device);
                   },
                   [this](const event::RoundEnded& x) {
                       const double now = now_();
                       const RoundReport& r = x.report;
                       MutexLock lock(mutex_);
                       SystemState* s = system_named(r.system);
                       if (!s) return;
                       s->counters = r.counters;
                       s->reopenings = r.reopenings;
                       take_sample(*s, now);
                       if (!r.complete) return;
                       s->rounds = r.round;
                       s->last_round = now;
                       s->round_duration_ms = r.duration_ms;
                   },
                   [this](const event::Stats& x) {
                       MutexLock lock(mutex_);
                       if (SystemState* s = system_named(x.system)) {
                           s->counters = x.counters;
                           s->reopenings = x.reopenings;
                       }
                   },
                   [this](const event::Attempt& x) {
                       const double now = now_();
                       MutexLock lock(mutex_);
                       if (SystemState* s = system_named(x.system)) {
                           s->last_failure_time = now;
                           s->last_failure = x.text;
                       }
                   },
                   [this](const event::StateChanged& x) {
                       MutexLock lock(mutex_);
                       if (SystemState* s = system_named(x.system)) {
                           s->state = x.state;
                           s->state_why = x.why;
                       }
                   },
                   [this](const event::AlarmChanged& x) {
                       MutexLock lock(mutex_);
                       alarm_changed(x.alarm, x.started);
                   },
                   [this](const event::SiteReloaded& x) {
                       MutexLock lock(mutex_);
                       follow_reload(x);
                   },
                   [](const auto&) {},
               },
               e);
}

// A sample once a minute; those older than an hour go, but the newest of
// them, so that the hour's base is never younger than an hour once the host
// has run that long.
void SiteSnapshot::take_sample(SystemState& s, double now) {
    if (s.samples.empty() || now - s.samples.back().time >= kSampleEveryS)
        s.samples.push_back({now, s.counters, s.reopenings});
    size_t old = 0;
    while (old + 1 < s.samples.size() && now - s.samples[old + 1].time >= kHourS) ++old;
    s.samples.erase(s.samples.begin(), s.samples.begin() + static_cast<std::ptrdiff_t>(old));
}

// The site's power systems after a reload, in its order. A system that
// stays keeps its line state and counters; every device's latest record and
// every active alarm go to the system that has the device now (a device that
// moved takes them along; one the site no longer has drops them), so that
// until the next round the page shows the last values, not an empty system.
void SiteSnapshot::follow_reload(const event::SiteReloaded& reload) {
    std::map<std::pair<uint32_t, int>, std::shared_ptr<const DeviceState>> devices;
    std::vector<Alarm> alarms;
    for (SystemState& s : state_.systems) {
        devices.merge(s.devices);
        alarms.insert(alarms.end(), s.alarms.begin(), s.alarms.end());
    }
    std::vector<SystemState> next;
    for (const PowerSystemConfig& ps : reload.systems) {
        SystemState s;
        if (SystemState* before = system_named(ps.name)) s = std::move(*before);
        s.name = ps.name;
        s.data_id = ps.data_id;
        s.devices.clear();
        s.alarms.clear();
        next.push_back(std::move(s));
    }
    state_.systems = std::move(next);
    systems_ = reload.systems;
    for (const auto& [key, device] : devices)
        if (SystemState* s = system_with_device(key.first)) s->devices.emplace(key, device);
    for (const Alarm& a : alarms)
        if (SystemState* s = system_with_device(a.data_id)) s->alarms.push_back(a);
}

void SiteSnapshot::restore_alarms(const std::vector<Alarm>& active) {
    MutexLock lock(mutex_);
    for (const Alarm& a : active) alarm_changed(a, true);
}

SiteState SiteSnapshot::copy() const {
    MutexLock lock(mutex_);
    return state_;
}
