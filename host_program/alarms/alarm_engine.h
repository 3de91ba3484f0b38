#pragma once
// Turns the conditions devices report each round into alarms: a condition
// that starts holding raises an alarm, one that stops holding clears it. A
// condition is known by (data id, rule id, text): one rule id covers several
// instances ("RC_0" for every module), told apart by the text.
//
// Thread-safe: work items of several devices may evaluate at once.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "host/rule_value.h"

struct Alarm {
    uint32_t data_id = 0;
    std::string rule_id;
    std::string text;
    uint8_t grade = 0;
    std::string alarm_code;
    std::string alarm_name;
    int64_t started = 0;  // seconds since the epoch
    int64_t ended = 0;    // 0 while active
};

class AlarmEngine {
public:
    // Told of every alarm that starts or ends.
    using Listener = std::function<void(const Alarm&, bool started)>;

    explicit AlarmEngine(Listener listener = {}) : listener_(std::move(listener)) {}
    virtual ~AlarmEngine() = default;

    // Judges one round's conditions of a device at time `now`; true when any
    // alarm of that device is active afterwards.
    bool evaluate(uint32_t data_id, const std::vector<rule_value>& rules, int64_t now);
    // Alarms active now, in a stable order.
    std::vector<Alarm> active() const;
    // Takes alarms known to be active already (after a restart) without
    // announcing them again.
    void restore(const std::vector<Alarm>& alarms);

protected:
    // Where a durable engine records changes; the base keeps them in memory only.
    virtual void alarm_started(const Alarm&) {}
    virtual void alarm_ended(const Alarm&) {}

private:
    using Key = std::tuple<uint32_t, std::string, std::string>;
    mutable std::mutex mutex_;
    std::map<Key, Alarm> active_;
    Listener listener_;
};
