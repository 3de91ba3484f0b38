#pragma once
// A record as every JSON consumer shows it (the --json stream, the state API,
// the history API and `voka-host history --format json`), and the indices of
// a reading as JSON keys and metric labels.
//
// jsoncpp writes an object's keys in order of name, so what a consumer adds
// (a time, an event kind) never moves the keys given here.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "host/voka-host/records/record_types.h"

// {"record_type", "fields"}: for an answer that names its device once around its records.
Json::Value record_json(int record_type, const Json::Value& fields);
// {"data_id", "device_type", "record_type", "fields"}.
Json::Value record_json(uint32_t data_id, const std::string& device_type, int record_type, const Json::Value& fields);

// The indices that apply to a reading, by name: channel, phase, module,
// battery, position (in that order), those that are -1 left out.
std::vector<std::pair<const char*, int>> reading_indices(const Reading& r);

// {"name", "unit", "value" (null when missing), and its indices}.
Json::Value reading_json(const Reading& r);
