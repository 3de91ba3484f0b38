#pragma once
// One alarm condition as a device reports it for a polling round. The plug-in
// only moves and copies these; the host's rule engine reads them.
#include <cstdint>
#include <string>

struct rule_value {
    uint8_t grade = 0;         // 1, 2 or 3: how serious the alarm is
    std::string rule_id;       // device prefix and number, e.g. "AC_0"
    std::string alarm_code;    // e.g. "06015"
    uint32_t data_id = 0;      // the reporting device
    uint32_t holds = 0;        // 1 while the condition holds this round
    std::string alarm_name;
    std::string text;          // the name, prefixed by the instance where a device has several
    uint32_t seq = 0;          // order of the report within the round
};
