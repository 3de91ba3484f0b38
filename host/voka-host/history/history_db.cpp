#include "host/voka-host/history/history_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <type_traits>

#include <fmt/format.h>

#include "host/voka-host/history/database_file.h"
#include "host/voka-host/history/sqlite_statement.h"

namespace {

// Version 2 (created in rollback mode, so that the header with the
// application id is in the main file before WAL is switched on).
constexpr const char* kSchema = R"(
CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE history (
  row INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL, record_type INTEGER NOT NULL, device_type TEXT NOT NULL,
  time INTEGER NOT NULL, image BLOB NOT NULL);
CREATE INDEX history_by_device ON history (data_id, record_type, row);
CREATE INDEX history_by_time ON history (time);
CREATE TABLE alarms (
  row INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL, rule_id TEXT NOT NULL, text TEXT NOT NULL,
  grade INTEGER NOT NULL, code TEXT NOT NULL, name TEXT NOT NULL,
  started INTEGER NOT NULL, ended INTEGER, end_reason TEXT);
CREATE INDEX alarms_active ON alarms (ended, data_id, rule_id, text);
)";

// Version 1 had no time index, no end reason and no application id.
constexpr const char* kFromVersion1 = R"(
CREATE INDEX IF NOT EXISTS history_by_time ON history (time);
ALTER TABLE alarms ADD COLUMN end_reason TEXT;
)";

// Four times the write-ahead log at SQLite's automatic checkpoint (1000
// pages of 1 KiB and their frame headers): never reached at steady state.
constexpr int64_t kWalFileLimitBytes = 4 << 20;

// Rows one trimming statement deletes at most: a round's cost stays small
// after a bound is lowered; the rest goes in the following rounds.
constexpr int64_t kMostDeletedAtOnce = 5000;

// The alarm columns read back, but the end reason (alarm_columns() adds it).
constexpr const char* kAlarmColumns = "data_id, rule_id, text, grade, code, name, started, ended";

Alarm alarm_from(const Statement& s) {
    Alarm a;
    a.data_id = static_cast<uint32_t>(s.integer(0));
    a.rule_id = s.text(1);
    a.text = s.text(2);
    a.grade = static_cast<uint8_t>(s.integer(3));
    a.alarm_code = s.text(4);
    a.alarm_name = s.text(5);
    a.started = s.integer(6);
    a.ended = s.is_null(7) ? 0 : s.integer(7);
    a.end_reason = s.text(8);  // NULL: its condition stopped holding
    return a;
}

HistoryRow row_from(const Statement& s) {
    return {s.integer(0), static_cast<uint32_t>(s.integer(1)), static_cast<int>(s.integer(2)), s.text(3),
            s.integer(4), s.blob(5)};
}

}  // namespace

// The statements every round uses, prepared once.
struct HistoryDb::Statements {
    explicit Statements(sqlite3* db)
        : begin(db, "BEGIN"),
          commit(db, "COMMIT"),
          rollback(db, "ROLLBACK"),
          insert(db, "INSERT INTO history (data_id, record_type, device_type, time, image) VALUES (?1, ?2, ?3, ?4, ?5)"),
          nth_newest(db, "SELECT row FROM history WHERE data_id = ?1 AND record_type = ?2 "
                         "ORDER BY row DESC LIMIT 1 OFFSET ?3"),
          trim_rows(db, "DELETE FROM history WHERE row IN (SELECT row FROM history WHERE data_id = ?1 AND "
                        "record_type = ?2 AND row <= ?3 ORDER BY row LIMIT ?4)"),
          trim_age(db, "DELETE FROM history WHERE row IN (SELECT row FROM history WHERE time < ?1 "
                       "ORDER BY time LIMIT ?2)"),
          alarm_started(db, "INSERT INTO alarms (data_id, rule_id, text, grade, code, name, started) "
                            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
          alarm_ended(db, "UPDATE alarms SET ended = ?1, end_reason = ?5 WHERE ended IS NULL AND data_id = ?2 "
                          "AND rule_id = ?3 AND text = ?4") {}
    Statement begin, commit, rollback, insert, nth_newest, trim_rows, trim_age, alarm_started, alarm_ended;
};

HistoryDb::HistoryDb(const std::string& path, HistoryPolicy policy, Problem problem, Open open)
    : path_(path), policy_(policy), problem_(std::move(problem)) {
    const DatabaseFile file = inspect_database_file(path, kSchemaVersion);
    file_version_ = file.exists ? file.version : 0;
    {
        MutexLock lock(mutex_);
        clock_ = [] { return static_cast<int64_t>(std::time(nullptr)); };
        if (open == Open::read_only) {
            if (!file.exists) throw HistoryError(fmt::format("history database {}: no such file", path));
            if (open_database_file(path, SQLITE_OPEN_READONLY, &db_) != SQLITE_OK) {
                const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
                sqlite3_close(db_);
                db_ = nullptr;
                throw HistoryError(fmt::format("history database {}: cannot open: {}", path, why));
            }
            sqlite3_busy_timeout(db_, 2000);
            sqlite3_exec(db_, fmt::format("PRAGMA cache_size = -{}", kReaderCacheKiB).c_str(), nullptr, nullptr,
                         nullptr);
        }
    }
    if (open == Open::now) this->open();
}

HistoryDb::~HistoryDb() {
    MutexLock lock(mutex_);
    if (statements_) commit();  // closing would roll the held rows back
    statements_.reset();
    sqlite3_close(db_);
}

void HistoryDb::open() {
    MutexLock lock(mutex_);
    if (db_) return;
    if (open_database_file(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, &db_) !=
        SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw HistoryError(fmt::format("history database {}: cannot open: {}", path_, why));
    }
    sqlite3_busy_timeout(db_, 2000);  // another reader or writer: wait a little, then report
    try {
        create_or_migrate(file_version_);
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        // A checkpoint leaves the log's file as large as it grew, to be
        // written over from its start (no blocks allocated again, no change
        // of size in the file system's journal); past this, after a large
        // one-off transaction, the file is cut back.
        exec(fmt::format("PRAGMA journal_size_limit = {}", kWalFileLimitBytes).c_str());
        exec(fmt::format("PRAGMA cache_size = -{}", kWriterCacheKiB).c_str());
        statements_ = std::make_unique<Statements>(db_);
    } catch (const HistoryError& e) {
        statements_.reset();
        sqlite3_close(db_);
        db_ = nullptr;
        throw HistoryError(fmt::format("history database {}: {}", path_, e.what()));
    }
}

void HistoryDb::create_or_migrate(int version) {
    if (version == kSchemaVersion) return;
    const std::string stamp = fmt::format(
        "PRAGMA application_id = {0}; PRAGMA user_version = {1}; "
        "INSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', {1});",
        static_cast<int32_t>(kHistoryApplicationId), kSchemaVersion);
    // Small pages for a new file: a round's few rows dirty a few small pages,
    // so each commit writes less to flash.
    if (version == 0) exec("PRAGMA page_size = 1024");
    exec("BEGIN IMMEDIATE");
    try {
        exec(version == 0 ? kSchema : kFromVersion1);
        exec(stamp.c_str());
        exec("COMMIT");
    } catch (const HistoryError&) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // The header with the application id goes into the main file now, so that
    // the next start knows the file as ours from its first bytes.
    if (version != 0) sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

void HistoryDb::set_clock(Clock clock) {
    MutexLock lock(mutex_);
    clock_ = std::move(clock);
}

void HistoryDb::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw HistoryError(why);
    }
}

void HistoryDb::require_open() const {
    if (!db_) throw HistoryError(fmt::format("history database {}: not open", path_));
}

void HistoryDb::require_writable() const {
    if (!statements_) throw HistoryError(fmt::format("history database {}: not open for writing", path_));
}

void HistoryDb::report(const std::string& what) {
    write_failures_.fetch_add(1, std::memory_order_relaxed);
    if (!failing_ && problem_) problem_(fmt::format("history database {}: {}", path_, what));
    failing_ = true;
}

void HistoryDb::in_one_transaction(const std::function<void()>& work) {
    bool writable = false;
    {
        MutexLock lock(mutex_);
        writable = statements_ != nullptr;
        // A transaction held from an earlier round takes this round's writes too.
        if (writable && transaction_depth_++ == 0 && sqlite3_get_autocommit(db_)) {
            Statement::Use begin(statements_->begin);
            if (begin->step() != SQLITE_DONE) report(fmt::format("cannot begin a round: {}", sqlite3_errmsg(db_)));
            held_since_ = clock_();
        }
    }
    if (!writable) {
        work();
        return;
    }
    try {
        work();
    } catch (...) {
        MutexLock lock(mutex_);
        end_transaction();
        throw;
    }
    MutexLock lock(mutex_);
    end_transaction();
}

void HistoryDb::end_transaction() {
    if (--transaction_depth_ != 0) return;
    round_over_.notify_all();
    if (sqlite3_get_autocommit(db_)) return;
    const int64_t now = clock_();
    // A round that wrote nothing ends its transaction at once (it holds no
    // lock and costs no write), so that a held one always began with rows.
    const bool wrote = sqlite3_txn_state(db_, nullptr) == SQLITE_TXN_WRITE;
    if (!wrote || commit_due_ || policy_.commit_every_s == 0 || now < held_since_ ||
        now - held_since_ >= policy_.commit_every_s)
        commit();
}

void HistoryDb::commit() {
    if (transaction_depth_ != 0) return;  // the round's end commits
    commit_due_ = false;
    if (sqlite3_get_autocommit(db_)) return;
    Statement::Use commit(statements_->commit);
    if (commit->step() != SQLITE_DONE) {
        report(fmt::format("cannot commit: {}", sqlite3_errmsg(db_)));
        Statement::Use(statements_->rollback)->step();
    }
}

void HistoryDb::commit_held() {
    MutexLock lock(mutex_);
    if (!statements_) return;
    while (transaction_depth_ != 0) round_over_.wait(lock);
    commit();
}

bool HistoryDb::insert(uint32_t data_id, int record_type, const std::string& device_type, int64_t time,
                       std::span<const uint8_t> image) {
    Statement::Use insert(statements_->insert);
    insert->bind(1, data_id).bind(2, record_type).bind(3, device_type).bind(4, time).bind(5, image);
    if (insert->step() != SQLITE_DONE) {
        report(fmt::format("cannot store a record of device {}: {}", data_id, sqlite3_errmsg(db_)));
        return false;
    }
    if (failing_ && problem_) problem_(fmt::format("history database {}: storing again", path_));
    failing_ = false;
    return true;
}

void HistoryDb::save(uint32_t data_id, int record_type, const std::string& device_type,
                     std::span<const uint8_t> image) {
    MutexLock lock(mutex_);
    require_writable();
    const int64_t now = clock_();
    const DeviceKey key{data_id, record_type};
    Device& device = devices_[key];
    const bool alarm_changed = alarm_changed_.erase(data_id) != 0;
    // Periods of the clock rather than time since the device's last row: the
    // devices of a power system (of a site) then store in the same round, one
    // transaction, instead of each in its own.
    const bool due = policy_.interval_s == 0 || !device.stored || alarm_changed || now < device.last_stored ||
                     now / policy_.interval_s != device.last_stored / policy_.interval_s;
    if (!due) {
        device.waiting = Device::Image{device_type, std::vector<uint8_t>(image.begin(), image.end()), now};
        return;
    }
    if (!insert(data_id, record_type, device_type, now, image)) {
        device.waiting = Device::Image{device_type, std::vector<uint8_t>(image.begin(), image.end()), now};
        return;
    }
    device.waiting.reset();
    device.stored = true;
    device.last_stored = now;
    ++device.saved_since_trim;
    trim_rows(key, device);
    trim_age(now);
}

void HistoryDb::flush() {
    in_one_transaction([this] {
        MutexLock lock(mutex_);
        if (!statements_) return;
        commit_due_ = true;
        for (auto& [key, device] : devices_) {
            if (!device.waiting) continue;
            if (insert(key.first, key.second, device.waiting->device_type, device.waiting->time,
                       device.waiting->bytes))
                device.waiting.reset();
        }
    });
}

// Every hundredth of the bound's rows saved (every row below 100), the rows
// beyond the bound go; so a device holds at most 1 % more than its bound.
void HistoryDb::trim_rows(const DeviceKey& key, Device& device) {
    const unsigned bound = policy_.retention.max_rows_per_device;
    if (bound == 0 || device.saved_since_trim < std::max(1u, bound / 100)) return;
    int64_t newest_to_go = 0;
    {
        Statement::Use q(statements_->nth_newest);
        q->bind(1, key.first).bind(2, key.second).bind(3, bound);
        if (q->step() != SQLITE_ROW) {
            device.saved_since_trim = 0;  // within the bound
            return;
        }
        newest_to_go = q->integer(0);
    }
    Statement::Use trim(statements_->trim_rows);
    trim->bind(1, key.first).bind(2, key.second).bind(3, newest_to_go).bind(4, kMostDeletedAtOnce);
    if (trim->step() != SQLITE_DONE) {
        report(fmt::format("cannot trim the history of device {}: {}", key.first, sqlite3_errmsg(db_)));
        return;
    }
    // Rows left beyond the bound go with the next save.
    if (sqlite3_changes(db_) < kMostDeletedAtOnce) device.saved_since_trim = 0;
}

// Every hundredth of the age bound, the rows older than the bound go; so no
// row outlives the bound by more than 1 %.
void HistoryDb::trim_age(int64_t now) {
    const int64_t bound = policy_.retention.max_age_s;
    if (bound == 0 || now < next_age_trim_) return;
    Statement::Use trim(statements_->trim_age);
    trim->bind(1, now - bound).bind(2, kMostDeletedAtOnce);
    if (trim->step() != SQLITE_DONE) {
        report(fmt::format("cannot trim the history by age: {}", sqlite3_errmsg(db_)));
        return;
    }
    next_age_trim_ = sqlite3_changes(db_) < kMostDeletedAtOnce ? now + std::max<int64_t>(1, bound / 100) : now;
}

std::vector<HistoryRow> HistoryDb::latest_images() {
    MutexLock lock(mutex_);
    require_open();
    Statement q(db_,
                "SELECT row, data_id, record_type, device_type, time, image FROM history WHERE row IN "
                "(SELECT max(row) FROM history GROUP BY data_id, record_type, device_type) ORDER BY row");
    std::vector<HistoryRow> out;
    while (q.step() == SQLITE_ROW) out.push_back(row_from(q));
    return out;
}

std::vector<HistoryRow> HistoryDb::rows(uint32_t data_id) {
    MutexLock lock(mutex_);
    require_open();
    Statement q(db_,
                "SELECT row, data_id, record_type, device_type, time, image FROM history WHERE data_id = ?1 ORDER BY row");
    q.bind(1, data_id);
    std::vector<HistoryRow> out;
    while (q.step() == SQLITE_ROW) out.push_back(row_from(q));
    return out;
}

size_t HistoryDb::row_count() {
    MutexLock lock(mutex_);
    require_open();
    Statement q(db_, "SELECT count(*) FROM history");
    return q.step() == SQLITE_ROW ? static_cast<size_t>(q.integer(0)) : 0;
}

void HistoryDb::for_each_row(const HistoryQuery& query, const std::function<void(const HistoryRow&)>& each) {
    RowCursor rows = cursor(query);
    while (const auto row = rows.next()) each(*row);
}

HistoryDb::RowCursor HistoryDb::cursor(const HistoryQuery& query) {
    MutexLock lock(mutex_);
    require_open();
    // The device index serves the data id and the order, so rows come as it is
    // walked, never sorted in memory (a device has one record type: the order
    // is the rows'); the time bounds filter them.
    const std::string sql = fmt::format(
        "SELECT row, data_id, record_type, device_type, time, image FROM history WHERE data_id = ?1 "
        "AND time >= ?2 AND time <= ?3 ORDER BY record_type {0}, row {0} LIMIT ?4",
        query.newest_first ? "DESC" : "ASC");
    auto q = std::make_unique<Statement>(db_, sql.c_str());
    q->bind(1, query.data_id)
        .bind(2, query.since.value_or(std::numeric_limits<int64_t>::min()))
        .bind(3, query.until.value_or(std::numeric_limits<int64_t>::max()))
        .bind(4, query.limit ? static_cast<int64_t>(query.limit) : int64_t{-1});
    return RowCursor(*this, std::move(q));
}

template <class Item>
HistoryDb::Cursor<Item>::Cursor(HistoryDb& db, std::unique_ptr<Statement> statement)
    : db_(&db), statement_(std::move(statement)) {}

template <class Item>
HistoryDb::Cursor<Item>::Cursor(Cursor&& other) noexcept : db_(other.db_), statement_(std::move(other.statement_)) {}

template <class Item>
HistoryDb::Cursor<Item>::~Cursor() {
    if (!statement_) return;
    MutexLock lock(db_->mutex_);
    statement_.reset();  // ends its read transaction
}

template <class Item>
std::optional<Item> HistoryDb::Cursor<Item>::next() {
    constexpr bool alarms = std::is_same_v<Item, Alarm>;
    if (!statement_) return std::nullopt;
    MutexLock lock(db_->mutex_);
    const int step = statement_->step();
    if (step == SQLITE_ROW) {
        if constexpr (alarms) return alarm_from(*statement_);
        else return row_from(*statement_);
    }
    statement_.reset();
    if (step != SQLITE_DONE)
        throw HistoryError(fmt::format("history database {}: cannot read{}: {}", db_->path_, alarms ? " alarms" : "",
                                       sqlite3_errmsg(db_->db_)));
    return std::nullopt;
}

template class HistoryDb::Cursor<HistoryRow>;
template class HistoryDb::Cursor<Alarm>;

void HistoryDb::in_one_read(const std::function<void()>& work) {
    commit_held();  // a transaction held open would refuse this one
    {
        MutexLock lock(mutex_);
        require_open();
        exec("BEGIN");
    }
    try {
        work();
    } catch (...) {
        MutexLock lock(mutex_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    MutexLock lock(mutex_);
    exec("COMMIT");
}

std::string HistoryDb::alarm_columns() const {
    // A version 1 file opened read-only is not migrated: it has no end reasons.
    const bool has_end_reason = statements_ || file_version_ >= 2;
    return fmt::format("{}, {}", kAlarmColumns, has_end_reason ? "end_reason" : "NULL");
}

void HistoryDb::alarm_started(const Alarm& a) {
    MutexLock lock(mutex_);
    require_writable();
    alarm_changed_.insert(a.data_id);
    Statement::Use s(statements_->alarm_started);
    s->bind(1, a.data_id).bind(2, a.rule_id).bind(3, a.text).bind(4, a.grade).bind(5, a.alarm_code)
        .bind(6, a.alarm_name).bind(7, a.started);
    if (s->step() != SQLITE_DONE) report(fmt::format("cannot record an alarm start: {}", sqlite3_errmsg(db_)));
    alarm_recorded();
}

void HistoryDb::alarm_ended(const Alarm& a) {
    MutexLock lock(mutex_);
    require_writable();
    alarm_changed_.insert(a.data_id);
    Statement::Use s(statements_->alarm_ended);
    s->bind(1, a.ended).bind(2, a.data_id).bind(3, a.rule_id).bind(4, a.text);
    if (!a.end_reason.empty()) s->bind(5, a.end_reason);  // else NULL: its condition stopped holding
    if (s->step() != SQLITE_DONE) report(fmt::format("cannot record an alarm end: {}", sqlite3_errmsg(db_)));
    alarm_recorded();
}

// An alarm change is committed with its round, or at once outside a round
// (a power system's communication alarm), with any rows held before it.
void HistoryDb::alarm_recorded() {
    commit_due_ = true;
    commit();
}

std::vector<Alarm> HistoryDb::end_alarms_of_devices_not(const std::function<bool(uint32_t)>& in_site, int64_t now,
                                                        const std::string& reason) {
    std::vector<Alarm> ended;
    for (Alarm& a : active_alarms()) {
        if (in_site(a.data_id)) continue;
        a.ended = now;
        a.end_reason = reason;
        ended.push_back(std::move(a));
    }
    if (ended.empty()) return ended;
    in_one_transaction([&] {
        MutexLock lock(mutex_);
        require_writable();
        commit_due_ = true;
        for (const Alarm& a : ended) {
            Statement::Use s(statements_->alarm_ended);
            s->bind(1, a.ended).bind(2, a.data_id).bind(3, a.rule_id).bind(4, a.text).bind(5, a.end_reason);
            if (s->step() != SQLITE_DONE)
                throw HistoryError(fmt::format("history database {}: cannot end an alarm: {}", path_,
                                               sqlite3_errmsg(db_)));
        }
    });
    return ended;
}

std::vector<Alarm> HistoryDb::active_alarms() {
    MutexLock lock(mutex_);
    require_open();
    Statement q(db_, fmt::format("SELECT {} FROM alarms WHERE ended IS NULL ORDER BY row", alarm_columns()).c_str());
    std::vector<Alarm> out;
    while (q.step() == SQLITE_ROW) out.push_back(alarm_from(q));
    return out;
}

std::vector<Alarm> HistoryDb::all_alarms() {
    MutexLock lock(mutex_);
    require_open();
    Statement q(db_, fmt::format("SELECT {} FROM alarms ORDER BY row", alarm_columns()).c_str());
    std::vector<Alarm> out;
    while (q.step() == SQLITE_ROW) out.push_back(alarm_from(q));
    return out;
}

std::vector<Alarm> HistoryDb::alarm_log(const AlarmLogQuery& query) {
    AlarmCursor alarms = alarm_cursor(query);
    std::vector<Alarm> out;
    while (auto a = alarms.next()) out.push_back(std::move(*a));
    return out;
}

HistoryDb::AlarmCursor HistoryDb::alarm_cursor(const AlarmLogQuery& query) {
    MutexLock lock(mutex_);
    require_open();
    auto q = std::make_unique<Statement>(
        db_, fmt::format("SELECT {} FROM alarms WHERE (?1 IS NULL OR data_id = ?1) AND (started >= ?2 OR "
                         "ended IS NULL OR ended >= ?2) ORDER BY started DESC, row DESC LIMIT ?3",
                         alarm_columns())
                 .c_str());
    if (query.data_id) q->bind(1, *query.data_id);
    q->bind(2, query.since.value_or(std::numeric_limits<int64_t>::min()))
        .bind(3, query.limit ? static_cast<int64_t>(query.limit) : int64_t{-1});
    return AlarmCursor(*this, std::move(q));
}

