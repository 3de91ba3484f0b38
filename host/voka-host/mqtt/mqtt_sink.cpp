#include "host/voka-host/mqtt/mqtt_sink.h"

#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/mqtt/discovery.h"
#include "host/voka-host/mqtt/topics.h"

MqttSink::MqttSink(const MqttConfig& config, const std::vector<PowerSystemConfig>& systems, Notify notify)
    : config_(config), deadband_(config.deadband), configs_(systems) {
    MutexLock lock(mutex_);
    systems_.resize(systems.size());
    for (size_t i = 0; i < systems.size(); ++i) systems_[i].name = systems[i].name;
    for (size_t i = 0; i < systems_.size(); ++i) {
        MqttClient::Options o;
        o.client_id = mqtt::client_id(config_, systems_[i].name);
        o.will = mqtt::status_message(config_, systems_[i].name, "offline");
        o.offline_status = "offline";
        systems_[i].client = std::make_unique<MqttClient>(
            config_, std::move(o), [this, i] { return session_messages(i); }, notify);
    }
}

MqttSink::~MqttSink() {
    // The connections end before the state they ask for at a new session.
    std::vector<std::unique_ptr<MqttClient>> clients;
    {
        MutexLock lock(mutex_);
        for (System& s : systems_) clients.push_back(std::move(s.client));
    }
    clients.clear();
}

std::vector<PublisherFigures> MqttSink::figures() {
    std::vector<PublisherFigures> all;
    MutexLock lock(mutex_);
    for (const System& s : systems_) {
        if (!s.client) continue;
        PublisherFigures f = s.client->figures();
        f.system = s.name;
        all.push_back(std::move(f));
    }
    return all;
}

MqttSink::System* MqttSink::system_named(const std::string& name) {
    for (System& s : systems_)
        if (s.name == name) return &s;
    return nullptr;
}

MqttSink::System* MqttSink::system_of(uint32_t data_id) {
    const auto owner = device_owner(configs_, data_id);
    return owner ? &systems_[*owner] : nullptr;
}

MqttMessage MqttSink::alarm_list(const System& s) const {
    std::vector<Alarm> active;
    for (const auto& [key, a] : s.active) active.push_back(a);
    return mqtt::alarms_message(config_, s.name, active);
}

std::vector<MqttMessage> MqttSink::session_messages(size_t index) {
    MutexLock lock(mutex_);
    const System& s = systems_[index];
    std::vector<MqttMessage> out{mqtt::status_message(config_, s.name, s.status), alarm_list(s)};
    for (const auto& [device, messages] : s.discovery) out.insert(out.end(), messages.begin(), messages.end());
    for (const auto& [topic, payload] : s.last_state) out.push_back({topic, payload, config_.qos, true});
    return out;
}

void MqttSink::start(const std::vector<Alarm>& active) {
    MutexLock lock(mutex_);
    for (const Alarm& a : active)
        if (System* s = system_of(a.data_id)) s->active[{a.data_id, a.rule_id, a.text}] = a;
    for (const System& s : systems_) {
        s.client->post(alarm_list(s));
        s.client->start();
    }
}

void MqttSink::handle(const Event& e) {
    if (const auto* r = std::get_if<event::RecordPublished>(&e)) {
        const DecodedRecord& d = r->record.decoded;
        if (!d.error.empty()) return;  // the last good state stands
        MutexLock lock(mutex_);
        System* s = system_named(r->system);
        if (!s || !deadband_.passes(r->record.data_id, d.readings)) return;
        MqttMessage m = mqtt::state_message(config_, s->name, r->record.data_id, one_line_json(d.fields));
        s->last_state[m.topic] = m.payload;
        s->client->post(std::move(m));
        if (config_.homeassistant && !s->discovery.count(r->record.data_id)) {
            auto& messages = s->discovery[r->record.data_id] = mqtt::discovery_messages(config_, s->name, r->record);
            for (const MqttMessage& dm : messages) s->client->post(dm);
        }
    } else if (const auto* a = std::get_if<event::AlarmChanged>(&e)) {
        MutexLock lock(mutex_);
        System* s = system_of(a->alarm.data_id);
        if (!s) return;  // a device the site no longer has
        const AlarmKey key{a->alarm.data_id, a->alarm.rule_id, a->alarm.text};
        if (a->started)
            s->active[key] = a->alarm;
        else
            s->active.erase(key);
        s->client->post(mqtt::alarm_event_message(config_, s->name, a->alarm, a->started));
        s->client->post(alarm_list(*s));
    } else if (const auto* c = std::get_if<event::StateChanged>(&e)) {
        MutexLock lock(mutex_);
        System* s = system_named(c->system);
        if (!s) return;
        s->status = mqtt::status_of_line_state(c->state);
        s->client->post(mqtt::status_message(config_, s->name, s->status));
    }
}
