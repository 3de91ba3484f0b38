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

#include "host/interface/rule_value.h"
#include "host/voka-host/base/alarm.h"
#include "host/voka-host/records/record_types.h"
#include "host/voka-host/config/power_system_config.h"
#include "host/line/line_exchange.h"

struct PublishedRecord {
    uint32_t data_id;
    std::string device_type;
    int record_type;
    DecodedRecord decoded;
};

struct RoundReport {
    std::string system;
    unsigned round = 0;        // complete rounds so far, this one included (shown for complete rounds only)
    bool complete = false;     // the round reached its end and published
    std::string outcome;       // how the exchange ended
    double duration_ms = 0;
    std::vector<PublishedRecord> records;
    std::vector<rule_value> holding;  // conditions that hold this round
    ExchangeCounters counters;  // the line's running totals at the round's end
    unsigned reopenings = 0;    // times the port was opened again after failing, so far
};

namespace event {

struct Log {  // a device's log line, its placeholders filled
    std::string system;
    std::string text;
};
struct RecordPublished {
    std::string system;
    PublishedRecord record;
};
struct Condition {  // one alarm condition a device reported this round
    std::string system;
    rule_value rule;
};
struct Dropped {  // a frame dropped outside any attempt, or a failed exchange
    std::string system;
    std::string reason;
};
struct RoundEnded {
    RoundReport report;
};
struct Value {  // a --get query answered
    std::string query;
    float value;
};
struct Refusal {  // a --get query refused
    std::string query;
    std::string why;
};
struct AlarmChanged {
    Alarm alarm;
    bool started;  // false: it ended
};
struct Notice {  // start-up, shut-down and trouble lines of voka-host itself
    std::string text;
};
struct Attempt {  // one failed attempt of a command (time-out, rejected frame, line failure)
    std::string system;
    FailedAttempt failure;
    std::string text;  // the failure in words, with the command
};
struct Stats {  // the running totals of one power system's line
    std::string system;
    ExchangeCounters counters;
    unsigned reopenings = 0;  // times the port was opened again after failing
    bool final = false;       // the totals at exit
};
struct StateChanged {  // a power system's line state: "ok", "stale", "reconnecting"
    std::string system;
    std::string state;
    std::string why;
};
struct SiteReloaded {  // the site file read again (SIGHUP) and applied: power systems by name
    std::vector<std::string> added;
    std::vector<std::string> removed;    // stopped; their data are gone from the site
    std::vector<std::string> restarted;  // settings changed: stopped and started again
    std::vector<PowerSystemConfig> systems;  // every power system of the site after the change
};
struct ReloadRefused {  // the site file read again could not be used; the running site stays
    std::string why;
};

}  // namespace event

using Event = std::variant<event::Log, event::RecordPublished, event::Condition, event::Dropped, event::RoundEnded,
                           event::Value, event::Refusal, event::AlarmChanged, event::Notice, event::Attempt,
                           event::Stats, event::StateChanged, event::SiteReloaded, event::ReloadRefused>;

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
