#include "host_program/events/json_writer.h"

#include <cmath>

#include <json/writer.h>

namespace {

Json::Value event_object(const char* kind, const std::string& system = {}) {
    Json::Value v(Json::objectValue);
    v["event"] = kind;
    if (!system.empty()) v["system"] = system;
    return v;
}

Json::Value to_json(const event::Log& e) {
    Json::Value v = event_object("log", e.system);
    v["text"] = e.text;
    return v;
}

Json::Value to_json(const event::RecordPublished& e) {
    Json::Value v = event_object("record", e.system);
    v["data_id"] = e.record.data_id;
    v["device_type"] = e.record.device_type;
    v["record_type"] = e.record.record_type;
    v["fields"] = e.record.decoded.fields;
    return v;
}

Json::Value to_json(const event::Condition& e) {
    const rule_value& r = e.rule;
    Json::Value v = event_object("condition", e.system);
    v["data_id"] = r.data_id;
    v["rule_id"] = r.rule_id;
    v["grade"] = r.grade;
    v["code"] = r.alarm_code;
    v["name"] = r.alarm_name;
    v["text"] = r.text;
    v["holds"] = r.holds != 0;
    v["seq"] = r.seq;
    return v;
}

Json::Value to_json(const event::Dropped& e) {
    Json::Value v = event_object("dropped", e.system);
    v["reason"] = e.reason;
    return v;
}

Json::Value to_json(const event::RoundEnded& e) {
    const RoundReport& r = e.report;
    Json::Value v = event_object("round", r.system);
    if (r.complete) v["round"] = r.round;  // a failed round has no number of its own
    v["complete"] = r.complete;
    v["outcome"] = r.outcome;
    v["duration_ms"] = std::round(r.duration_ms * 10) / 10;
    v["holding"] = static_cast<Json::UInt>(r.holding.size());
    return v;
}

Json::Value to_json(const event::Value& e) {
    Json::Value v = event_object("get");
    v["query"] = e.query;
    v["value"] = static_cast<double>(e.value);
    return v;
}

Json::Value to_json(const event::Refusal& e) {
    Json::Value v = event_object("get");
    v["query"] = e.query;
    v["refused"] = e.why;
    return v;
}

Json::Value to_json(const event::AlarmChanged& e) {
    const Alarm& a = e.alarm;
    Json::Value v = alarm_json(a);
    v["event"] = "alarm";
    v["state"] = e.started ? "start" : "end";
    if (!e.started) v["ended"] = static_cast<Json::Int64>(a.ended);
    return v;
}

Json::Value to_json(const event::Notice& e) {
    Json::Value v = event_object("notice");
    v["text"] = e.text;
    return v;
}

std::string hex(unsigned byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[byte >> 4 & 0xF] + kDigits[byte & 0xF];
}

Json::Value to_json(const event::Attempt& e) {
    const FailedAttempt& f = e.failure;
    Json::Value v = event_object("attempt", e.system);
    v["cid1"] = hex(f.cid1);
    v["cid2"] = hex(f.cid2);
    v["attempt"] = f.attempt;
    v["reason"] = std::string(to_string(f.why));
    if (f.why == AttemptFailure::rejected) v["rejection"] = std::string(frame::key(f.rejection.reason));
    v["retrying"] = f.will_retry;
    v["text"] = e.text;
    return v;
}

Json::Value rejected_json(const std::array<unsigned, frame::kErrorKinds>& rejected) {
    Json::Value v(Json::objectValue);
    for (size_t e = 0; e < rejected.size(); ++e)
        if (rejected[e]) v[std::string(frame::key(frame::Error(e)))] = rejected[e];
    return v;
}

Json::Value to_json(const event::Stats& e) {
    const ExchangeCounters& c = e.counters;
    Json::Value v = event_object("stats", e.system);
    v["final"] = e.final;
    v["sent"] = c.commands_sent;
    v["answered"] = c.answers;
    v["retried"] = c.retries;
    v["late_answers"] = c.unsolicited;
    v["noise_bytes"] = static_cast<Json::UInt64>(c.noise_bytes);
    v["reopenings"] = e.reopenings;
    Json::Value& commands = v["commands"] = Json::Value(Json::arrayValue);
    for (const auto& [command, n] : c.commands) {
        Json::Value k(Json::objectValue);
        k["cid1"] = hex(command >> 8);
        k["cid2"] = hex(command & 0xFF);
        k["sent"] = n.sent;
        k["answered"] = n.answered;
        k["retried"] = n.retried;
        k["timed_out"] = n.timed_out;
        k["rejected"] = rejected_json(n.rejected);
        commands.append(k);
    }
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

Json::Value to_json(const event::ReloadRefused& e) {
    Json::Value v = event_object("reload_refused");
    v["why"] = e.why;
    return v;
}

}  // namespace

Json::Value alarm_json(const Alarm& a) {
    Json::Value v(Json::objectValue);
    v["data_id"] = a.data_id;
    v["rule_id"] = a.rule_id;
    v["grade"] = a.grade;
    v["code"] = a.alarm_code;
    v["name"] = a.alarm_name;
    v["text"] = a.text;
    v["started"] = static_cast<Json::Int64>(a.started);
    if (!a.end_reason.empty()) v["end_reason"] = a.end_reason;
    return v;
}

std::string one_line_json(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 7;  // a float's worth of digits: 2.3, not 2.2999999523162842
    return Json::writeString(b, v);
}

void JsonWriter::handle(const Event& e) {
    std::visit(
        [this](const auto& x) {
            // A kind of event without a JSON form here is not part of the stream.
            if constexpr (requires { to_json(x); }) out_.write(one_line_json(to_json(x)));
        },
        e);
}
