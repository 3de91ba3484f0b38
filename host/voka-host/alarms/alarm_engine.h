#pragma once
// Turns the conditions devices report each round into alarms: a condition
// that starts holding raises an alarm, one that stops holding clears it. A
// condition is known by (data id, rule id, text): one rule id covers several
// instances ("RC_0" for every module), told apart by the text.
//
// A report speaks for whole rule families: the family is the rule id up to
// its last '_' ("RC" for "RC_0", "COMM" for "COMM_0"), and a report that
// names a family names every condition of it that the device has now. So an
// active alarm of the device in a family the report names, whose condition
// the report leaves out (a module or channel the equipment no longer has),
// ends with the reason kEndNoLongerReported. Families the report does not
// name are untouched: a device's round never ends the communication alarm its
// power system raises under the same data id, nor that alarm the device's,
// and a report with no condition at all ends nothing.
//
// Threads: evaluate() runs on the worker thread (each device's round-end work
// item), active() and restore() on any; work items of several devices may
// evaluate at once. Lock order: the engine's mutex, then the history
// database's (a durable engine records under the engine's lock); listeners
// are told after the engine's lock is let go.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "host/interface/rule_value.h"
#include "host/voka-host/base/alarm.h"
#include "host/voka-host/base/thread_annotations.h"

class AlarmEngine {
public:
    // Told of every alarm that starts or ends.
    using Listener = std::function<void(const Alarm&, bool started)>;

    explicit AlarmEngine(Listener listener = {}) : listener_(std::move(listener)) {}
    virtual ~AlarmEngine() = default;

    // Judges one report of a device's conditions at time `now` (a round's,
    // or its power system's communication alarm); true when any alarm of
    // that device is active afterwards.
    bool evaluate(uint32_t data_id, const std::vector<rule_value>& rules, int64_t now) EXCLUDES(mutex_);
    // Alarms active now, in a stable order.
    std::vector<Alarm> active() const EXCLUDES(mutex_);
    // Takes alarms known to be active already (after a restart) without
    // announcing them again.
    void restore(const std::vector<Alarm>& alarms) EXCLUDES(mutex_);
    // Drops, without announcing or recording it, every active alarm of a
    // device for which `in_site` is false (their end was recorded elsewhere).
    void forget_devices_not(const std::function<bool(uint32_t)>& in_site) EXCLUDES(mutex_);

protected:
    // Where a durable engine records changes, under the engine's lock; the
    // base keeps them in memory only.
    virtual void alarm_started(const Alarm&) REQUIRES(mutex_) {}
    virtual void alarm_ended(const Alarm&) REQUIRES(mutex_) {}

    mutable Mutex mutex_;

private:
    // Ends, with kEndNoLongerReported, the device's active alarms in the
    // families `rules` name whose conditions `rules` leave out.
    void end_unreported(uint32_t data_id, const std::vector<rule_value>& rules, int64_t now,
                        std::vector<std::pair<Alarm, bool>>& changes) REQUIRES(mutex_);

    using Key = std::tuple<uint32_t, std::string, std::string>;
    // A round's conditions are looked up by views of their own strings, so
    // judging a round copies nothing unless an alarm starts.
    using KeyView = std::tuple<uint32_t, std::string_view, std::string_view>;
    struct KeyLess {
        using is_transparent = void;
        static KeyView view(const Key& k) { return {std::get<0>(k), std::get<1>(k), std::get<2>(k)}; }
        static const KeyView& view(const KeyView& k) { return k; }
        static KeyView view(uint32_t data_id) { return {data_id, {}, {}}; }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const {
            return view(a) < view(b);
        }
    };
    std::map<Key, Alarm, KeyLess> active_ GUARDED_BY(mutex_);
    Listener listener_;
};
