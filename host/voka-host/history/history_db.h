#pragma once
// The host's database: device history (the images devices ask to store) and
// alarms, in one SQLite file per host.
//
// Writes are few, for flash: a round's writes of a power system share one
// transaction (in_one_transaction), and a device's image becomes a history row
// at most once in each `interval_s` period of the clock (all devices in the
// same round) and whenever one of its alarms starts or ends;
// the newest image not yet stored waits in memory and is stored at a clean
// stop (flush).
//
// Commits are fewer still: a round that changes no alarm leaves its rows in
// an open transaction that later rounds add to, committed by the first round
// to end `commit_every_s` after it began; a round with an alarm change
// commits at its end, and so do flush() (a clean stop), commit_held() (a
// reload, a reader) and the destructor. Another connection sees rows only
// once committed: a reader in this process calls commit_held() before it
// opens its read, and so sees every row stored. A process killed at any moment
// loses what is not committed (at most `commit_every_s` and one interval of
// history) and nothing of the alarm state; WAL mode keeps every committed row
// and the file whole. WAL commits are not synced (synchronous=NORMAL): a
// power cut may lose commits since the last checkpoint that the kernel had
// not yet written back, never the file.
//
// Retention: at most `max_rows_per_device` rows per (data id, record type)
// and none older than `max_age_s`, each held within 1 %: trimmed in batches of
// a hundredth of the bound (the age bound through an index on the time).
//
// The file: created only by open(), stamped with our application id and
// schema version; an existing file is used only when it is ours (older
// schemas are migrated), anything else is refused untouched.
//
// Threads: save() and in_one_transaction() run on the worker thread
// (round-end work items), the alarm calls under the alarm engine's lock,
// commit_held() on any thread but a polling one (it waits for the round being
// written to end), the rest on the main thread; one connection, used under the
// database's mutex.
// Lock order: the alarm engine's mutex, then this one; `problem` is called
// under it and must take no lock but an output's.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/voka-host/base/alarm.h"
#include "host/voka-host/history/history_error.h"
#include "host/voka-host/history/history_policy.h"
#include "host/voka-host/history/history_sink.h"
#include "host/voka-host/base/thread_annotations.h"

struct sqlite3;
class Statement;

// Which of a device's rows to read: times are inclusive bounds on the stored time.
struct HistoryQuery {
    uint32_t data_id = 0;
    std::optional<int64_t> since, until;
    size_t limit = 0;  // 0: every row
    bool newest_first = false;
};

// Which alarms to list: those that started, ended or were active at or after
// `since`, of one device or of all.
struct AlarmLogQuery {
    std::optional<int64_t> since;
    std::optional<uint32_t> data_id;
    size_t limit = 0;  // 0: every alarm
};

struct HistoryRow {
    int64_t row = 0;
    uint32_t data_id = 0;
    int record_type = 0;
    std::string device_type;
    int64_t time = 0;  // seconds since the epoch
    std::vector<uint8_t> image;
};

class HistoryDb final : public HistorySink {
public:
    static constexpr int kSchemaVersion = 2;
    static constexpr int kReaderCacheKiB = 128;
    // The writing connection's page cache: a round's rows go to the ends of
    // a few b-trees, whose pages fit many times over; SQLite's default
    // (2 MiB) would instead grow the resident memory with the file.
    static constexpr int kWriterCacheKiB = 512;
    using Problem = std::function<void(const std::string&)>;
    using Clock = std::function<int64_t()>;  // seconds since the epoch
    enum class Open { now, later, read_only };

    // Checks what is at `path` without changing it and throws HistoryError
    // (naming the path) when it is not a database of ours or has a newer
    // schema. `Open::now` then opens it, creating it when missing;
    // `Open::later` leaves that to open(), after the caller's own start-up
    // checks; `Open::read_only` opens an existing file for reading only, and a
    // missing file is an error; a read-only connection keeps a small page
    // cache (kReaderCacheKiB): a reader walks rows in order and needs few
    // pages at a time. `problem` hears of writes that failed (locked,
    // read-only, full disk); polling goes on and later writes are tried again.
    HistoryDb(const std::string& path, HistoryPolicy policy, Problem problem = {}, Open open = Open::now);
    ~HistoryDb() override;
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Creates or migrates the file and prepares the statements. Throws HistoryError.
    void open() EXCLUDES(mutex_);
    // For tests and benchmarks: where "now" comes from.
    void set_clock(Clock clock) EXCLUDES(mutex_);

    void in_one_transaction(const std::function<void()>& work) override EXCLUDES(mutex_);
    void save(uint32_t data_id, int record_type, const std::string& device_type,
              std::span<const uint8_t> image) override EXCLUDES(mutex_);
    // Stores the newest image of every device whose newest is not stored
    // yet, and commits (a clean stop).
    void flush() EXCLUDES(mutex_);
    // Commits the rows held for a later commit, so that another connection
    // sees every row stored so far; when a round is being written, waits for
    // its end first (a round is committed whole or not at all). Nothing held
    // or not open for writing: returns at once. A failed commit is reported
    // through `problem` like any write, and its rows are lost.
    void commit_held() EXCLUDES(mutex_);
    // Writes that failed so far (each one `problem` would hear of, reported
    // or not); any thread, without the database's lock.
    uint64_t write_failures() const { return write_failures_.load(std::memory_order_relaxed); }

    // The newest row of every (data id, record type, device type).
    std::vector<HistoryRow> latest_images() EXCLUDES(mutex_);
    // A device's rows, oldest first.
    std::vector<HistoryRow> rows(uint32_t data_id) EXCLUDES(mutex_);
    size_t row_count() EXCLUDES(mutex_);
    // Hands `each` the rows `query` selects one at a time, so that memory
    // does not grow with their number.
    void for_each_row(const HistoryQuery& query, const std::function<void(const HistoryRow&)>& each)
        EXCLUDES(mutex_);

    // The rows `query` selects (RowCursor), taken one at a time at the reader's
    // pace (a client reading an HTTP answer): one row in memory at a time. From its
    // first row to its end or its destruction it holds one read transaction,
    // so it sees the same rows throughout (in WAL mode without blocking a
    // writer). The database must outlive it.
    template <class Item>
    class Cursor {
    public:
        Cursor(Cursor&&) noexcept;
        Cursor& operator=(Cursor&&) = delete;
        ~Cursor();
        // The next item; nothing after the last. Throws HistoryError.
        std::optional<Item> next();

    private:
        friend class HistoryDb;
        Cursor(HistoryDb& db, std::unique_ptr<Statement> statement);
        HistoryDb* db_;
        std::unique_ptr<Statement> statement_;
    };
    using RowCursor = Cursor<HistoryRow>;
    // Throws HistoryError.
    RowCursor cursor(const HistoryQuery& query) EXCLUDES(mutex_);

    // The alarms an AlarmLogQuery selects, the newest start first, taken one
    // at a time like a RowCursor's rows (same transaction, same lifetime).
    using AlarmCursor = Cursor<Alarm>;
    // Throws HistoryError.
    AlarmCursor alarm_cursor(const AlarmLogQuery& query) EXCLUDES(mutex_);
    // Runs `work` in one read transaction: every query in it sees the same
    // rows, whatever a writer commits meanwhile (in WAL mode without blocking it).
    void in_one_read(const std::function<void()>& work) EXCLUDES(mutex_);

    void alarm_started(const Alarm& a) EXCLUDES(mutex_);
    void alarm_ended(const Alarm& a) EXCLUDES(mutex_);
    std::vector<Alarm> active_alarms() EXCLUDES(mutex_);
    std::vector<Alarm> all_alarms() EXCLUDES(mutex_);
    // The alarms `query` selects, the newest start first.
    std::vector<Alarm> alarm_log(const AlarmLogQuery& query) EXCLUDES(mutex_);
    // Ends, at `now` and with `reason`, the active alarms of devices for which
    // `in_site` is false; returns them.
    std::vector<Alarm> end_alarms_of_devices_not(const std::function<bool(uint32_t)>& in_site, int64_t now,
                                                 const std::string& reason) EXCLUDES(mutex_);

    const std::string& path() const { return path_; }

private:
    struct Statements;
    // What the database knows of one (data id, record type) in this run.
    struct Device {
        int64_t last_stored = 0;
        bool stored = false;
        unsigned saved_since_trim = 0;
        struct Image {
            std::string device_type;
            std::vector<uint8_t> bytes;
            int64_t time = 0;
        };
        std::optional<Image> waiting;  // the newest image, not stored yet
    };
    using DeviceKey = std::pair<uint32_t, int>;

    void exec(const char* sql) REQUIRES(mutex_);
    void report(const std::string& what) REQUIRES(mutex_);
    void require_open() const REQUIRES(mutex_);
    void require_writable() const REQUIRES(mutex_);
    std::string alarm_columns() const REQUIRES(mutex_);
    void end_transaction() REQUIRES(mutex_);
    // Commits the open transaction, if any (nothing when a round is being
    // written: its end commits).
    void commit() REQUIRES(mutex_);
    void alarm_recorded() REQUIRES(mutex_);
    void create_or_migrate(int version) REQUIRES(mutex_);
    bool insert(uint32_t data_id, int record_type, const std::string& device_type, int64_t time,
                std::span<const uint8_t> image) REQUIRES(mutex_);
    void trim_rows(const DeviceKey& key, Device& device) REQUIRES(mutex_);
    void trim_age(int64_t now) REQUIRES(mutex_);

    const std::string path_;
    const HistoryPolicy policy_;
    Problem problem_;
    int file_version_ = 0;  // of the file found at start; 0: none
    Mutex mutex_;
    Clock clock_ GUARDED_BY(mutex_);
    sqlite3* db_ GUARDED_BY(mutex_) = nullptr;
    std::unique_ptr<Statements> statements_ GUARDED_BY(mutex_);
    unsigned transaction_depth_ GUARDED_BY(mutex_) = 0;
    std::condition_variable_any round_over_;  // transaction_depth_ went back to 0
    int64_t held_since_ GUARDED_BY(mutex_) = 0;  // the clock when the open transaction began
    bool commit_due_ GUARDED_BY(mutex_) = false;  // an alarm changed: the round's end commits
    bool failing_ GUARDED_BY(mutex_) = false;  // a write failed: say so once, and again when it recovers
    std::atomic<uint64_t> write_failures_{0};  // read by scrapes while a round writes
    std::map<DeviceKey, Device> devices_ GUARDED_BY(mutex_);
    std::set<uint32_t> alarm_changed_ GUARDED_BY(mutex_);  // data ids whose next image is stored at once
    int64_t next_age_trim_ GUARDED_BY(mutex_) = 0;
};
