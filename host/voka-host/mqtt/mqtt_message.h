#pragma once
// One message for the broker, as built from an event and queued until sent.
#include <string>

struct MqttMessage {
    // What the outbox may do with it when the broker is away: a newer state
    // on the same topic replaces an older one, states are dropped first,
    // alarm events only when even their generous bound is full.
    enum class Kind { state, event };

    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    Kind kind = Kind::state;
};
