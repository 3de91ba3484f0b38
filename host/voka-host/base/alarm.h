#pragma once
// An alarm as every part of voka-host knows it: the engine raises and ends
// it (alarms/), the history stores it, the views and sinks show it.
#include <cstdint>
#include <string>

struct Alarm {
    uint32_t data_id = 0;
    std::string rule_id;
    std::string text;
    uint8_t grade = 0;
    std::string alarm_code;
    std::string alarm_name;
    int64_t started = 0;  // seconds since the epoch
    int64_t ended = 0;    // 0 while active
    std::string end_reason{};  // why it ended, when not because its condition stopped holding
};

// The end reason of an alarm whose condition its device stopped reporting.
inline constexpr const char* kEndNoLongerReported = "no longer reported";
