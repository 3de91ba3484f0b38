#pragma once
// `voka-host alarms --log`: the alarms that started and ended, the newest
// first, with start, end and duration, and the reason of an end that was not
// its condition clearing; text in local time with the offset, JSON lines and
// CSV in ISO 8601.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <json/value.h>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/reading/output_format.h"

// `now` measures how long the active alarms have lasted. Returns the number of alarms written.
size_t write_alarm_log(HistoryDb& db, const AlarmLogQuery& query, OutputFormat format, int64_t now, std::FILE* out);

// One alarm as the log's JSON lines and /api/v1/alarms show it: the alarm's
// fields with "start" and "end" as ISO 8601 text, "duration_s" (up to `now`
// while active), "active" and "end_reason".
Json::Value alarm_log_json(const Alarm& a, int64_t now);
