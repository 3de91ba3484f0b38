#pragma once
// The host's database: device history (every published image the devices
// ask to store) and alarms, in one SQLite file per host.
//
// Durable by construction: each row is its own transaction in WAL mode, so a
// process killed at any moment leaves a database that opens and holds every
// row committed before. A bound per device (rows and age) keeps the file from
// growing without limit. A database written by a newer schema is refused.
//
// Threads: save() runs on the worker thread (round-end work items), the
// alarm calls under the alarm engine's lock, the rest on the main thread;
// one connection, used under the database's mutex. Lock order: the alarm
// engine's mutex, then this one; `problem` is called under it and must take
// no lock but an output's.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_program/alarms/alarm_engine.h"
#include "host_program/history/history_sink.h"
#include "host_program/thread_annotations.h"

struct sqlite3;

class HistoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HistoryRow {
    int64_t row = 0;
    uint32_t data_id = 0;
    int record_type = 0;
    std::string device_type;
    int64_t time = 0;  // seconds since the epoch
    std::vector<uint8_t> image;
};

struct Retention {
    unsigned max_rows_per_device = 10000;  // per (data id, record type); 0: no bound
    int64_t max_age_s = 0;                 // 0: no bound
};

class HistoryDb final : public HistorySink {
public:
    static constexpr int kSchemaVersion = 1;
    using Problem = std::function<void(const std::string&)>;

    // Opens or creates `path`. Throws HistoryError (naming the path) when it
    // cannot be opened, is not a database of ours, or has a newer schema.
    // `problem` hears of writes that failed (locked, read-only, full disk);
    // polling goes on and later writes are tried again.
    HistoryDb(const std::string& path, Retention retention, Problem problem = {});
    ~HistoryDb() override;
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    void save(uint32_t data_id, int record_type, const std::string& device_type,
              std::span<const uint8_t> image) override EXCLUDES(mutex_);
    // The newest row of every (data id, record type, device type).
    std::vector<HistoryRow> latest_images() EXCLUDES(mutex_);
    // A device's rows, oldest first.
    std::vector<HistoryRow> rows(uint32_t data_id) EXCLUDES(mutex_);
    size_t row_count() EXCLUDES(mutex_);

    void alarm_started(const Alarm& a) EXCLUDES(mutex_);
    void alarm_ended(const Alarm& a) EXCLUDES(mutex_);
    std::vector<Alarm> active_alarms() EXCLUDES(mutex_);
    std::vector<Alarm> all_alarms() EXCLUDES(mutex_);

    const std::string& path() const { return path_; }

private:
    void exec(const char* sql) REQUIRES(mutex_);
    void report(const std::string& what) REQUIRES(mutex_);

    std::string path_;
    Retention retention_;
    Problem problem_;
    Mutex mutex_;
    sqlite3* db_ GUARDED_BY(mutex_) = nullptr;
    bool failing_ GUARDED_BY(mutex_) = false;  // a write failed: say so once, and again when it recovers
};
