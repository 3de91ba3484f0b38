#include "host/voka-host/events/json_writer.h"

#include "host/voka-host/presentation/alarm_json.h"
#include "host/voka-host/presentation/line_counters.h"
#include "host/voka-host/presentation/numbers.h"
#include "host/voka-host/presentation/record_json.h"

namespace {

// `v` as an event of this kind: what the stream adds to every object it writes.
Json::Value event_object(const char* kind, const std::string& system = {}, Json::Value v = Json::objectValue) {
    v["event"] = kind;
    if (!system.empty()) v["system"] = system;
    return v;
}

// An object of one member.
Json::Value member(const char* key, Json::Value value) {
    Json::Value v(Json::objectValue);
    v[key] = std::move(value);
    return v;
}

Json::Value to_json(const event::Log& e) { return event_object("log", e.system, member("text", e.text)); }

Json::Value to_json(const event::RecordPublished& e) {
    const PublishedRecord& r = e.record;
    return event_object("record", e.system, record_json(r.data_id, r.device_type, r.record_type, r.decoded.fields));
}

Json::Value to_json(const event::Condition& e) {
    return event_object("condition", e.system, condition_json(e.rule));
}

Json::Value to_json(const event::Dropped& e) { return event_object("dropped", e.system, member("reason", e.reason)); }

Json::Value to_json(const event::RoundEnded& e) {
    const RoundReport& r = e.report;
    Json::Value v = event_object("round", r.system);
    if (r.complete) v["round"] = r.round;  // a failed round has no number of its own
    v["complete"] = r.complete;
    v["outcome"] = r.outcome;
    v["duration_ms"] = shown_ms(r.duration_ms);
    v["holding"] = static_cast<Json::UInt>(r.holding.size());
    return v;
}

Json::Value to_json(const event::Value& e) {
    Json::Value v = event_object("get", {}, member("query", e.query));
    v["value"] = static_cast<double>(e.value);
    return v;
}

Json::Value to_json(const event::Refusal& e) {
    Json::Value v = event_object("get", {}, member("query", e.query));
    v["refused"] = e.why;
    return v;
}

Json::Value to_json(const event::AlarmChanged& e) {
    return event_object("alarm", {}, alarm_event_json(e.alarm, e.started));
}

Json::Value to_json(const event::Notice& e) { return event_object("notice", {}, member("text", e.text)); }

Json::Value to_json(const event::Attempt& e) {
    const FailedAttempt& f = e.failure;
    Json::Value v = event_object("attempt", e.system);
    v["cid1"] = command_byte_text(f.cid1);
    v["cid2"] = command_byte_text(f.cid2);
    v["attempt"] = f.attempt;
    v["reason"] = std::string(to_string(f.why));
    if (f.why == AttemptFailure::rejected) v["rejection"] = std::string(frame::key(f.rejection.reason));
    v["retrying"] = f.will_retry;
    v["text"] = e.text;
    return v;
}

Json::Value to_json(const event::Stats& e) {
    const ExchangeCounters& c = e.counters;
    Json::Value v = event_object("stats", e.system, line_totals_json(c, e.reopenings));
    v["final"] = e.final;
    Json::Value& commands = v["commands"] = Json::Value(Json::arrayValue);
    for (const auto& [command, n] : c.commands) commands.append(command_counters_json(command, n));
    return v;
}

Json::Value to_json(const event::StateChanged& e) {
    Json::Value v = event_object("state", e.system);
    v["state"] = e.state;
    v["why"] = e.why;
    return v;
}

Json::Value names_json(const std::vector<std::string>& names) {
    Json::Value v(Json::arrayValue);
    for (const auto& n : names) v.append(n);
    return v;
}

Json::Value to_json(const event::SiteReloaded& e) {
    Json::Value v = event_object("reload");
    v["added"] = names_json(e.added);
    v["removed"] = names_json(e.removed);
    v["restarted"] = names_json(e.restarted);
    return v;
}

Json::Value to_json(const event::ReloadRefused& e) { return event_object("reload_refused", {}, member("why", e.why)); }

}  // namespace

void JsonWriter::handle(const Event& e) {
    std::visit(
        [this](const auto& x) {
            // A kind of event without a JSON form here is not part of the stream.
            if constexpr (requires { to_json(x); }) out_.write(one_line_json(to_json(x)));
        },
        e);
}
