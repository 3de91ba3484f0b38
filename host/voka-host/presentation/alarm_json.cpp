#include "host/voka-host/presentation/alarm_json.h"

namespace {

// What an alarm shares with the condition it comes from, under the same names.
template <class Named>
Json::Value named_json(const Named& n) {
    Json::Value v(Json::objectValue);
    v["data_id"] = n.data_id;
    v["rule_id"] = n.rule_id;
    v["grade"] = n.grade;
    v["code"] = n.alarm_code;
    v["name"] = n.alarm_name;
    v["text"] = n.text;
    return v;
}

}  // namespace

Json::Value condition_json(const rule_value& r) {
    Json::Value v = named_json(r);
    v["holds"] = r.holds != 0;
    v["seq"] = r.seq;
    return v;
}

Json::Value alarm_json(const Alarm& a) {
    Json::Value v = named_json(a);
    v["started"] = static_cast<Json::Int64>(a.started);
    if (!a.end_reason.empty()) v["end_reason"] = a.end_reason;
    return v;
}

Json::Value alarm_event_json(const Alarm& a, bool started) {
    Json::Value v = alarm_json(a);
    v["state"] = started ? "start" : "end";
    if (!started) v["ended"] = static_cast<Json::Int64>(a.ended);
    return v;
}
