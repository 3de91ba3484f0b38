#pragma once
// voka-host --json: every event as one JSON object on a line of its own.
#include <cstdio>
#include <string>

#include <json/value.h>

#include "host_program/events/event.h"
#include "host_program/events/line_writer.h"

class JsonWriter final : public EventSink {
public:
    explicit JsonWriter(std::FILE* out) : out_(out) {}
    void handle(const Event& e) override;

private:
    LineWriter out_;
};

// An alarm as every JSON consumer shows it: data_id, rule_id, grade, code,
// name, text, "started" in seconds since the epoch and, for an alarm that
// ended for a reason of its own rather than its condition clearing,
// "end_reason".
Json::Value alarm_json(const Alarm& a);

// A JSON value on one line, floats with a float's worth of digits.
std::string one_line_json(const Json::Value& v);
