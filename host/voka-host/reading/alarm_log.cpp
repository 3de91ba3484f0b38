#include "host/voka-host/reading/alarm_log.h"

#include <algorithm>

#include <fmt/format.h>

#include "host/voka-host/presentation/alarm_json.h"
#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/reading/csv_field.h"
#include "host/voka-host/presentation/time_text.h"

namespace {

int64_t lasted(const Alarm& a, int64_t now) { return (a.ended ? a.ended : now) - a.started; }

void write_text(const std::vector<Alarm>& alarms, int64_t now, std::FILE* out) {
    // Widths of the columns whose values vary in length.
    size_t duration = 8, rule = 4, code = 4;
    for (const Alarm& a : alarms) {
        duration = std::max(duration, duration_text(lasted(a, now)).size());
        rule = std::max(rule, a.rule_id.size());
        code = std::max(code, a.alarm_code.size());
    }
    std::fprintf(out, "%s\n",
                 fmt::format("{:<26}  {:<26}  {:>{}}  {:>7}  {:<{}}  {:>5}  {:<{}}  {}", "start", "end", "duration",
                             duration, "data_id", "rule", rule, "grade", "code", code, "text")
                     .c_str());
    for (const Alarm& a : alarms) {
        // An end with a reason of its own says so after the text.
        const std::string reason = a.end_reason.empty() ? "" : fmt::format("  ({})", a.end_reason);
        std::fprintf(out, "%s\n",
                     fmt::format("{:<26}  {:<26}  {:>{}}  {:>7}  {:<{}}  {:>5}  {:<{}}  {}{}",
                                 local_time_text(a.started), a.ended ? local_time_text(a.ended) : "(active)",
                                 duration_text(lasted(a, now)), duration, a.data_id, a.rule_id, rule, a.grade,
                                 a.alarm_code, code, a.text, reason)
                         .c_str());
    }
}

void write_csv(const std::vector<Alarm>& alarms, int64_t now, std::FILE* out) {
    std::fprintf(out, "start,end,duration_s,data_id,rule_id,grade,code,name,text,end_reason\n");
    for (const Alarm& a : alarms)
        std::fprintf(out, "%s\n",
                     fmt::format("{},{},{},{},{},{},{},{},{},{}", iso_time(a.started),
                                 a.ended ? iso_time(a.ended) : "", lasted(a, now), a.data_id, csv_field(a.rule_id),
                                 a.grade, csv_field(a.alarm_code), csv_field(a.alarm_name), csv_field(a.text),
                                 csv_field(a.end_reason))
                         .c_str());
}

void write_json(const std::vector<Alarm>& alarms, int64_t now, std::FILE* out) {
    for (const Alarm& a : alarms) std::fprintf(out, "%s\n", one_line_json(alarm_log_json(a, now)).c_str());
}

}  // namespace

Json::Value alarm_log_json(const Alarm& a, int64_t now) {
    // The log shows times as text and says how the alarm ended.
    Json::Value v = alarm_json(a);
    v.removeMember("started");
    v["start"] = iso_time(a.started);
    v["end"] = a.ended ? Json::Value(iso_time(a.ended)) : Json::Value();
    v["duration_s"] = static_cast<Json::Int64>(lasted(a, now));
    v["active"] = a.ended == 0;
    return v;
}

size_t write_alarm_log(HistoryDb& db, const AlarmLogQuery& query, OutputFormat format, int64_t now, std::FILE* out) {
    const std::vector<Alarm> alarms = db.alarm_log(query);
    switch (format) {
        case OutputFormat::text:
            if (!alarms.empty()) write_text(alarms, now, out);
            break;
        case OutputFormat::csv: write_csv(alarms, now, out); break;
        case OutputFormat::json: write_json(alarms, now, out); break;
    }
    return alarms.size();
}
