#include "host/voka-host/http/state_json.h"

#include <optional>
#include <string>

#include "host/voka-host/presentation/alarm_json.h"
#include "host/voka-host/presentation/line_counters.h"
#include "host/voka-host/presentation/numbers.h"
#include "host/voka-host/presentation/record_json.h"
#include "host/voka-host/presentation/time_text.h"

namespace {

Json::Value device_json(const DeviceState& d) {
    Json::Value v = record_json(d.data_id, d.device_type, d.record_type, d.decoded.fields);
    v["time"] = utc_iso_time(static_cast<int64_t>(d.time));
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

// A moment as UTC text; null for one that has not come yet.
Json::Value utc_or_null(const std::optional<double>& t) {
    return t ? Json::Value(utc_iso_time(static_cast<int64_t>(*t))) : Json::Value();
}

Json::Value system_json(const SystemState& s) {
    Json::Value v(Json::objectValue);
    v["name"] = s.name;
    v["data_id"] = s.data_id;
    v["last_round"] = utc_or_null(s.last_round);
    v["rounds"] = s.rounds;
    v["round_duration_ms"] = shown_ms(s.round_duration_ms);
    v["state"] = s.state;
    v["state_why"] = s.state_why;
    v["last_failure"] = s.last_failure_time ? Json::Value(s.last_failure) : Json::Value();
    v["last_failure_time"] = utc_or_null(s.last_failure_time);
    v["counters"] = counters_json(s);
    v["last_hour"] = last_hour_json(s);
    Json::Value& devices = v["devices"] = Json::Value(Json::arrayValue);
    for (const auto& [key, d] : s.devices) devices.append(device_json(*d));
    Json::Value& alarms = v["alarms"] = Json::Value(Json::arrayValue);
    for (const Alarm& a : s.alarms) alarms.append(state_alarm_json(a));
    return v;
}

}  // namespace

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
    Json::Value v = line_totals_json(c, reopenings);
    v["rejected"] = rejected_json(c.rejected);
    v["exchanges"] = exchange_ends_json(c);
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
