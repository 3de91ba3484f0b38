#include "host_program/http/state_json.h"

#include <cmath>
#include <string>

#include "host_program/events/json_writer.h"
#include "host_program/reading/time_text.h"

namespace {

Json::Value reading_json(const Reading& r) {
    Json::Value v(Json::objectValue);
    v["name"] = std::string(r.name);
    v["unit"] = std::string(r.unit);
    v["value"] = r.missing ? Json::Value() : Json::Value(std::round(static_cast<double>(r.value) * 1000.0) / 1000.0);
    for (const auto& [key, index] : {std::pair{"channel", r.channel}, std::pair{"phase", r.phase},
                                     std::pair{"module", r.module}, std::pair{"battery", r.battery},
                                     std::pair{"position", r.position}})
        if (index >= 0) v[key] = index;
    return v;
}

Json::Value device_json(const DeviceState& d) {
    Json::Value v(Json::objectValue);
    v["data_id"] = d.data_id;
    v["device_type"] = d.device_type;
    v["record_type"] = d.record_type;
    v["time"] = utc_iso_time(static_cast<int64_t>(d.time));
    v["fields"] = d.decoded.fields;
    Json::Value& readings = v["readings"] = Json::Value(Json::arrayValue);
    for (const Reading& r : d.decoded.readings) readings.append(reading_json(r));
    return v;
}

// The page shows the start as a time, not a number.
Json::Value state_alarm_json(const Alarm& a) {
    Json::Value v = alarm_json(a);
    v["started"] = utc_iso_time(a.started);
    return v;
}

Json::Value system_json(const SystemState& s) {
    Json::Value v(Json::objectValue);
    v["name"] = s.name;
    v["data_id"] = s.data_id;
    v["state"] = s.state;
    v["state_why"] = s.state_why;
    v["rounds"] = s.rounds;
    v["last_round"] = s.last_round ? Json::Value(utc_iso_time(static_cast<int64_t>(*s.last_round))) : Json::Value();
    v["round_duration_ms"] = std::round(s.round_duration_ms * 10) / 10;
    v["counters"] = counters_json(s);
    v["last_hour"] = last_hour_json(s);
    v["last_failure"] = s.last_failure_time ? Json::Value(s.last_failure) : Json::Value();
    v["last_failure_time"] =
        s.last_failure_time ? Json::Value(utc_iso_time(static_cast<int64_t>(*s.last_failure_time))) : Json::Value();
    Json::Value& devices = v["devices"] = Json::Value(Json::arrayValue);
    for (const auto& [key, d] : s.devices) devices.append(device_json(*d));
    Json::Value& alarms = v["alarms"] = Json::Value(Json::arrayValue);
    for (const Alarm& a : s.alarms) alarms.append(state_alarm_json(a));
    return v;
}

}  // namespace

std::string exchange_end_key(ExchangeEnd e) {
    std::string key(to_string(e));
    for (char& c : key)
        if (c == ' ') c = '_';
    return key;
}

namespace {

// What the line counted between two samples of its totals (counters only grow).
CounterSample counted_since(const CounterSample& base, const ExchangeCounters& now, unsigned reopenings) {
    CounterSample d{base.time, now, reopenings - base.reopenings};
    ExchangeCounters& c = d.counters;
    const ExchangeCounters& b = base.counters;
    c.commands_sent -= b.commands_sent;
    c.answers -= b.answers;
    c.retries -= b.retries;
    c.unsolicited -= b.unsolicited;
    c.noise_bytes -= b.noise_bytes;
    for (size_t e = 0; e < c.rejected.size(); ++e) c.rejected[e] -= b.rejected[e];
    for (size_t e = 0; e < c.ended.size(); ++e) c.ended[e] -= b.ended[e];
    c.commands.clear();
    return d;
}

Json::Value totals_json(const ExchangeCounters& c, unsigned reopenings) {
    Json::Value v(Json::objectValue);
    v["sent"] = c.commands_sent;
    v["answered"] = c.answers;
    v["retried"] = c.retries;
    v["late_answers"] = c.unsolicited;
    v["noise_bytes"] = static_cast<Json::UInt64>(c.noise_bytes);
    v["reopenings"] = reopenings;
    Json::Value& rejected = v["rejected"] = Json::Value(Json::objectValue);
    for (size_t e = 0; e < c.rejected.size(); ++e) rejected[std::string(frame::key(frame::Error(e)))] = c.rejected[e];
    Json::Value& exchanges = v["exchanges"] = Json::Value(Json::objectValue);
    for (size_t e = 0; e < c.ended.size(); ++e) exchanges[exchange_end_key(ExchangeEnd(e))] = c.ended[e];
    return v;
}

}  // namespace

Json::Value counters_json(const SystemState& s) { return totals_json(s.counters, s.reopenings); }

Json::Value last_hour_json(const SystemState& s) {
    if (s.samples.empty()) return Json::Value();
    const CounterSample d = counted_since(s.samples.front(), s.counters, s.reopenings);
    Json::Value v = totals_json(d.counters, d.reopenings);
    v["since"] = utc_iso_time(static_cast<int64_t>(d.time));
    return v;
}

Json::Value state_json(const SiteState& site, int64_t now) {
    Json::Value v(Json::objectValue);
    v["site"] = site.site;
    v["generated"] = utc_iso_time(now);
    Json::Value& systems = v["systems"] = Json::Value(Json::arrayValue);
    for (const SystemState& s : site.systems) systems.append(system_json(s));
    return v;
}
