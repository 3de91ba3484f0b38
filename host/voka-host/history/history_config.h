#pragma once
// The "history" object of a site configuration, checked strictly against its
// keys (history_keys(): every key known, of its type and in its range).
#include <optional>
#include <string>

#include <json/value.h>

#include "host/voka-host/config/schema.h"
#include "host/voka-host/history/history_policy.h"

struct HistoryConfig {
    std::optional<std::string> database;
    HistoryPolicy policy;
};

// The keys of "history".
const schema::Section& history_keys();

// `history` is the object (or null when absent); `source` names the file in
// messages. Throws ConfigError naming every key that is wrong.
HistoryConfig history_config_from_json(const Json::Value& history, const std::string& source);
