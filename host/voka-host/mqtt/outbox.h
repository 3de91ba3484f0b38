#pragma once
// The messages waiting for the broker, bounded so that a broker that is away
// for long costs a fixed amount of memory:
//   - a retained state message replaces the one waiting on its topic (only
//     the latest state of a device, the latest alarm list, the latest status
//     matter), in the older one's place;
//   - past `state_limit` states the oldest state is dropped;
//   - alarm events are never replaced or dropped for states; past
//     `event_limit` (meant to be generous) the oldest event is dropped.
// Every drop is counted.
//
// Not thread-safe: its owner serialises the calls.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "host/voka-host/mqtt/mqtt_message.h"

class Outbox {
public:
    Outbox(size_t state_limit, size_t event_limit) : state_limit_(state_limit), event_limit_(event_limit) {}

    void push(MqttMessage m);
    // The oldest message, taken out; nothing when empty.
    std::optional<MqttMessage> pop();

    size_t size() const { return queue_.size(); }
    uint64_t dropped_states() const { return dropped_states_; }
    uint64_t dropped_events() const { return dropped_events_; }

private:
    void drop_oldest(MqttMessage::Kind kind);

    size_t state_limit_, event_limit_;
    size_t states_ = 0, events_ = 0;
    std::deque<MqttMessage> queue_;
    uint64_t dropped_states_ = 0, dropped_events_ = 0;
};
