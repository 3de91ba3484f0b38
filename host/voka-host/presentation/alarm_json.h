#pragma once
// An alarm, and the condition it comes from, as every JSON consumer shows
// them: the --json stream, the state API, MQTT payloads and the alarm log.
#include <json/value.h>

#include "host/interface/rule_value.h"
#include "host/voka-host/base/alarm.h"

// A condition a device reported: data_id, rule_id, grade, code, name, text
// (named as in alarm_json), "holds" and "seq", its order in the round.
Json::Value condition_json(const rule_value& r);

// data_id, rule_id, grade, code, name, text, "started" in seconds since the
// epoch and, for an alarm that ended for a reason of its own rather than its
// condition clearing, "end_reason".
Json::Value alarm_json(const Alarm& a);

// An alarm that started or ended, as an event: alarm_json with "state"
// ("start" or "end") and, at its end, "ended" in seconds since the epoch.
Json::Value alarm_event_json(const Alarm& a, bool started);
