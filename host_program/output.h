#pragma once
// What voka-host shows: by default a compact view per round (values with
// units, conditions that hold, rejected answers); with --json one JSON object
// per line per event. Thread-safe: every polling thread and the worker
// report here, and each event is written whole.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/rule_value.h"
#include "host_program/alarm_engine.h"

struct PublishedRecord {
    uint32_t data_id;
    std::string device_type;
    int record_type;
    Json::Value fields;
};

struct RoundReport {
    std::string system;
    unsigned round = 0;        // complete rounds so far, this one included
    bool complete = false;     // the round reached its end and published
    std::string outcome;       // how the exchange ended
    double duration_ms = 0;
    std::vector<PublishedRecord> records;
    std::vector<rule_value> holding;  // conditions that hold this round
    unsigned rejected_frames = 0;     // since the last report
    unsigned timeouts = 0;            // exchanges that timed out, in all
};

class Output {
public:
    explicit Output(bool json, std::FILE* out = stdout) : json_(json), out_(out) {}

    bool json() const { return json_; }
    void log(const std::string& system, const std::string& text);
    void record(const std::string& system, const PublishedRecord& r);
    void condition(const std::string& system, const rule_value& rule);
    void rejected(const std::string& system, const std::string& reason);
    void round(const RoundReport& report);
    void value(const std::string& query, float value);
    void refusal(const std::string& query, const std::string& why);
    void alarm(const Alarm& alarm, bool started);
    void notice(const std::string& text);  // start-up and shut-down lines

private:
    void write_json(const Json::Value& v);
    void write_line(const std::string& line);

    std::mutex mutex_;
    bool json_;
    std::FILE* out_;
};

// One published record as a short line of values with units.
std::string summarise_record(const PublishedRecord& r);
