#pragma once
// What happens in voka-host, as one stream of events. Every consumer (the
// text view, the --json writer, and any later one) is an EventSink; the
// EventStream hands each event to every sink once. A new consumer is a new
// sink; a new kind of event is a new struct in `Event`.
//
// Threads: polling threads, the worker and the main thread all emit, so
// handle() may run on any of them, concurrently. A sink serialises its own
// work and must not block: one with slow work (a network peer) queues it
// and does it on a thread of its own, so that no polling thread waits.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "host/rule_value.h"
#include "host_program/alarms/alarm_engine.h"
#include "host_program/records/record_types.h"

struct PublishedRecord {
    uint32_t data_id;
    std::string device_type;
    int record_type;
    DecodedRecord decoded;
};

struct RoundReport {
    std::string system;
    unsigned round = 0;        // complete rounds so far, this one included
    bool complete = false;     // the round reached its end and published
    std::string outcome;       // how the exchange ended
    double duration_ms = 0;
    std::vector<PublishedRecord> records;
    std::vector<rule_value> holding;  // conditions that hold this round
    unsigned rejected_frames = 0;     // since the last report
    unsigned timeouts = 0;            // exchanges that timed out, in all
};

namespace event {

struct Log { std::string system, text; };  // a device's log line, its placeholders filled
struct RecordPublished { std::string system; PublishedRecord record; };
struct Condition { std::string system; rule_value rule; };  // one condition a device reported this round
struct Rejected { std::string system, reason; };  // a frame or answer the line exchange did not take
struct RoundEnded { RoundReport report; };
struct Value { std::string query; float value; };  // a --get query answered
struct Refusal { std::string query, why; };        // a --get query refused
struct AlarmChanged { Alarm alarm; bool started; };  // started false: it ended
struct Notice { std::string text; };  // start-up, shut-down and trouble lines of voka-host itself

}  // namespace event

using Event = std::variant<event::Log, event::RecordPublished, event::Condition, event::Rejected, event::RoundEnded,
                           event::Value, event::Refusal, event::AlarmChanged, event::Notice>;

// For std::visit over an Event: one lambda per event kind a sink shows,
// and a generic one for the rest.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void handle(const Event& e) = 0;
};

// Feeds every registered sink. Sinks are added before any thread emits.
class EventStream final : public EventSink {
public:
    void add(EventSink& sink) { sinks_.push_back(&sink); }
    void handle(const Event& e) override {
        for (EventSink* s : sinks_) s->handle(e);
    }

private:
    std::vector<EventSink*> sinks_;
};
