#include "host/voka-host/mqtt/outbox.h"

#include <algorithm>

void Outbox::push(MqttMessage m) {
    if (m.kind == MqttMessage::Kind::state && m.retain) {
        const auto same = std::find_if(queue_.begin(), queue_.end(), [&m](const MqttMessage& q) {
            return q.kind == MqttMessage::Kind::state && q.retain && q.topic == m.topic;
        });
        if (same != queue_.end()) {
            *same = std::move(m);
            return;
        }
    }
    const bool event = m.kind == MqttMessage::Kind::event;
    queue_.push_back(std::move(m));
    if (event) {
        if (++events_ > event_limit_) drop_oldest(MqttMessage::Kind::event);
    } else if (++states_ > state_limit_) {
        drop_oldest(MqttMessage::Kind::state);
    }
}

std::optional<MqttMessage> Outbox::pop() {
    if (queue_.empty()) return std::nullopt;
    MqttMessage m = std::move(queue_.front());
    queue_.pop_front();
    (m.kind == MqttMessage::Kind::event ? events_ : states_)--;
    return m;
}

void Outbox::drop_oldest(MqttMessage::Kind kind) {
    const auto oldest =
        std::find_if(queue_.begin(), queue_.end(), [kind](const MqttMessage& q) { return q.kind == kind; });
    queue_.erase(oldest);
    if (kind == MqttMessage::Kind::event) {
        --events_;
        ++dropped_events_;
    } else {
        --states_;
        ++dropped_states_;
    }
}
