#pragma once
// voka-host as an MQTT publisher: an EventSink that turns records, alarm
// changes and line states into messages (topics.h, discovery.h) and hands
// them to one broker connection per power system, so that each system has a
// status topic with a last will of its own. handle() only builds and queues;
// the connections send on their own threads.
//
// An alarm belongs to the power system that has its device; one of a device
// the site no longer has goes to the first system.
//
// Threads: handle() from any thread; the sink's lock is taken before a
// connection's (queueing), never the other way round: a connection asks for
// its session messages without holding its own lock.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host/voka-host/events/event.h"
#include "host/voka-host/mqtt/deadband.h"
#include "host/voka-host/mqtt/mqtt_client.h"
#include "host/voka-host/mqtt/mqtt_config.h"
#include "host/voka-host/config/power_system_config.h"
#include "host/voka-host/base/thread_annotations.h"

class MqttSink final : public EventSink {
public:
    using Notify = std::function<void(const std::string&)>;

    // Sets up a connection per power system of the site (`systems`); `notify` reports
    // connection trouble (from the connections' threads). Events handled
    // before start() wait in the connections' outboxes.
    MqttSink(const MqttConfig& config, const std::vector<PowerSystemConfig>& systems, Notify notify);
    ~MqttSink() override;

    // Takes the alarms active at start (restored ones are not announced as
    // events) and starts the connections' threads.
    void start(const std::vector<Alarm>& active) EXCLUDES(mutex_);
    void handle(const Event& e) override EXCLUDES(mutex_);
    // Each power system's connection as it is now, in the site's order.
    std::vector<PublisherFigures> figures() EXCLUDES(mutex_);

private:
    using AlarmKey = std::tuple<uint32_t, std::string, std::string>;
    struct System {
        std::string name;
        std::string status = "online";
        std::map<AlarmKey, Alarm> active;
        std::map<std::string, std::string> last_state;   // topic -> payload
        std::map<uint32_t, std::vector<MqttMessage>> discovery;  // per device
        std::unique_ptr<MqttClient> client;
    };

    System* system_named(const std::string& name) REQUIRES(mutex_);
    // The system that owns the device (device_owner); nullptr for none.
    System* system_of(uint32_t data_id) REQUIRES(mutex_);
    std::vector<MqttMessage> session_messages(size_t index) EXCLUDES(mutex_);
    MqttMessage alarm_list(const System& s) const REQUIRES(mutex_);

    const MqttConfig config_;
    Mutex mutex_;
    Deadband deadband_ GUARDED_BY(mutex_);
    std::vector<System> systems_ GUARDED_BY(mutex_);
    const std::vector<PowerSystemConfig> configs_;  // in systems_' order: who owns a device
};
