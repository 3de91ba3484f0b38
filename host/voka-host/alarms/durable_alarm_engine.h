#pragma once
// An alarm engine whose alarms live in the history database: restored at
// start (load(), once the database is open), each start and end recorded, so
// that a restart neither repeats nor loses a standing alarm.
#include "host/voka-host/alarms/alarm_engine.h"
#include "host/voka-host/history/history_db.h"

class DurableAlarmEngine final : public AlarmEngine {
public:
    DurableAlarmEngine(HistoryDb& db, Listener listener) : AlarmEngine(std::move(listener)), db_(db) {}
    // Takes the alarms the database holds as active.
    void load() { restore(db_.active_alarms()); }

private:
    void alarm_started(const Alarm& a) override REQUIRES(mutex_) { db_.alarm_started(a); }
    void alarm_ended(const Alarm& a) override REQUIRES(mutex_) { db_.alarm_ended(a); }
    HistoryDb& db_;
};
