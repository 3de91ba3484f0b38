#pragma once
// What the HTTP side shows of a running site: per power system its line
// state, rounds, counters, the latest record of every device and the active
// alarms. A SiteSnapshot is an EventSink: it keeps that picture up to date
// from the event stream, and request handlers take a copy of it.
//
// Threads: handle() runs on polling threads, the worker and the main thread;
// copy() on the HTTP server's threads. Both hold the one mutex only to
// swap in or copy small values (a record is decoded and copied before the
// lock), so a slow client never holds up polling.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/voka-host/events/event.h"
#include "host/voka-host/config/power_system_config.h"
#include "host/voka-host/base/thread_annotations.h"

struct DeviceState {
    uint32_t data_id = 0;
    std::string device_type;
    int record_type = 0;
    double time = 0;  // when the host received the record, seconds since the epoch
    DecodedRecord decoded;
};

// The line's running totals at one moment.
struct CounterSample {
    double time = 0;  // seconds since the epoch
    ExchangeCounters counters;
    unsigned reopenings = 0;
};

struct SystemState {
    std::string name;
    uint32_t data_id = 0;              // the master's
    std::string state = "ok";          // "ok", "stale" or "reconnecting"
    std::string state_why;             // the reason of the last change; "" before any
    unsigned rounds = 0;               // complete rounds so far
    std::optional<double> last_round;  // when the last complete round ended, seconds since the epoch
    double round_duration_ms = 0;      // of that round
    ExchangeCounters counters;
    unsigned reopenings = 0;
    // Totals taken at most once a minute over the last hour and a little
    // more, oldest first: the first is the base of "the last hour".
    std::vector<CounterSample> samples;
    std::optional<double> last_failure_time;  // of the last failed attempt of a command
    std::string last_failure;                 // that attempt, in the user's words with its command
    // By data id and record type. Shared and never changed once made, so
    // that a copy of the snapshot copies pointers, not records.
    std::map<std::pair<uint32_t, int>, std::shared_ptr<const DeviceState>> devices;
    std::vector<Alarm> alarms;                                // active, in the order they started
};

struct SiteState {
    std::string site;  // the site's name (SiteConfig::name)
    std::vector<SystemState> systems;
};

class SiteSnapshot final : public EventSink {
public:
    static constexpr double kSampleEveryS = 60;
    static constexpr double kHourS = 3600;

    // `now` gives the wall-clock time in seconds since the epoch (tests fix it).
    using Clock = double (*)();
    // `site` names the site file (or what the bundled example is called).
    SiteSnapshot(const std::string& site, const std::vector<PowerSystemConfig>& systems, Clock now = nullptr);

    void handle(const Event& e) override EXCLUDES(mutex_);
    // Alarms that were active already when the host started (they are not announced again).
    void restore_alarms(const std::vector<Alarm>& active) EXCLUDES(mutex_);
    SiteState copy() const EXCLUDES(mutex_);

private:
    SystemState* system_named(const std::string& name) REQUIRES(mutex_);
    SystemState* system_with_device(uint32_t data_id) REQUIRES(mutex_);
    void alarm_changed(const Alarm& a, bool started) REQUIRES(mutex_);
    void follow_reload(const event::SiteReloaded& reload) REQUIRES(mutex_);
    static void take_sample(SystemState& s, double now);

    Clock now_;
    mutable Mutex mutex_;
    SiteState state_ GUARDED_BY(mutex_);
    std::vector<PowerSystemConfig> systems_ GUARDED_BY(mutex_);  // in state_.systems' order: who owns a device
};
