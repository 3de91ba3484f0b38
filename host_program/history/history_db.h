#pragma once
// The host's database: device history (every published image the devices
// ask to store) and alarms, in one SQLite file per host.
//
// Durable by construction: each row is its own transaction in WAL mode, so a
// process killed at any moment leaves a database that opens and holds every
// row committed before. A bound per device (rows and age) keeps the file from
// growing without limit. A database written by a newer schema is refused.
//
// Thread-safe: one connection, used under a mutex.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_program/alarms/alarm_engine.h"
#include "host_program/history/history_sink.h"

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
              std::span<const uint8_t> image) override;
    // The newest row of every (data id, record type, device type).
    std::vector<HistoryRow> latest_images();
    // A device's rows, oldest first.
    std::vector<HistoryRow> rows(uint32_t data_id);
    size_t row_count();

    void alarm_started(const Alarm& a);
    void alarm_ended(const Alarm& a);
    std::vector<Alarm> active_alarms();
    std::vector<Alarm> all_alarms();

    const std::string& path() const { return path_; }

private:
    void exec(const char* sql);
    void report(const std::string& what);

    std::string path_;
    Retention retention_;
    Problem problem_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    bool failing_ = false;  // a write failed: say so once, and again when it recovers
};
