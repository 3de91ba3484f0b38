#pragma once
// The "history" object of a site configuration, checked strictly: every key
// known, of its type and in its range.
//
//   "history": {"database": "/var/lib/voka/history.db",  where (default: --db, else ./voka-history.db)
//               "interval_s": 60,                        a device's image is stored once per period; 0: every round
//               "max_rows_per_device": 50000,            0: no bound
//               "max_age_days": 30}                      0: no bound
#include <optional>
#include <string>

#include <json/value.h>

#include "host_program/history/history_policy.h"

struct HistoryConfig {
    std::optional<std::string> database;
    HistoryPolicy policy;
};

// `history` is the object (or null when absent); `source` names the file in
// messages. Throws ConfigError naming the key.
HistoryConfig history_config_from_json(const Json::Value& history, const std::string& source);
