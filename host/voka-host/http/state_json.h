#pragma once
// /api/v1/state: the site snapshot as one JSON document.
//
//   {"site": ..., "generated": "2026-12-09T04:00:00Z",
//    "systems": [{"name", "data_id", "state", "state_why", "rounds", "last_round" (or null),
//                 "round_duration_ms", "counters": {...},
//                 "last_hour": {...as counters, "since"} (or null before any round),
//                 "last_failure": "…" (the last failed attempt in words, or null), "last_failure_time",
//                 "devices": [{"data_id", "device_type", "record_type", "time", "fields": {...},
//                              "readings": [{"name", "unit", "value" (null when missing),
//                                            "channel", "phase", "module", "battery", "position"}]}],
//                 "alarms": [{"data_id", "rule_id", "code", "grade", "name", "text", "started"}]}]}
//
// A reading carries only the indices that apply to it. Times are UTC.
#include <cstdint>
#include <string>

#include <json/value.h>

#include "host/voka-host/http/site_snapshot.h"

Json::Value state_json(const SiteState& site, int64_t now);
// The line counters of one system by name, as "counters" shows them.
Json::Value counters_json(const SystemState& system);
// What the line counted over the last hour (since its oldest sample), as
// counters_json with "since"; null before its first round.
Json::Value last_hour_json(const SystemState& system);
