#include "host_program/history/history_db.h"

#include <sqlite3.h>

#include <ctime>

#include <fmt/format.h>

namespace {

// A prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw HistoryError(std::string("cannot prepare statement: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, std::span<const uint8_t> v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int step() { return sqlite3_step(stmt_); }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::string text(int col) const {
        const auto* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    std::vector<uint8_t> blob(int col) const {
        const auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
        return b ? std::vector<uint8_t>(b, b + sqlite3_column_bytes(stmt_, col)) : std::vector<uint8_t>();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS history (
  row INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL, record_type INTEGER NOT NULL, device_type TEXT NOT NULL,
  time INTEGER NOT NULL, image BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, record_type, row);
CREATE TABLE IF NOT EXISTS alarms (
  row INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL, rule_id TEXT NOT NULL, text TEXT NOT NULL,
  grade INTEGER NOT NULL, code TEXT NOT NULL, name TEXT NOT NULL,
  started INTEGER NOT NULL, ended INTEGER);
CREATE INDEX IF NOT EXISTS alarms_active ON alarms (ended, data_id, rule_id, text);
)";

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
    return a;
}

HistoryRow row_from(const Statement& s) {
    return {s.integer(0), static_cast<uint32_t>(s.integer(1)), static_cast<int>(s.integer(2)), s.text(3),
            s.integer(4), s.blob(5)};
}

}  // namespace

HistoryDb::HistoryDb(const std::string& path, Retention retention, Problem problem)
    : path_(path), retention_(retention), problem_(std::move(problem)) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw HistoryError(fmt::format("history database {}: cannot open: {}", path, why));
    }
    sqlite3_busy_timeout(db_, 2000);  // another reader or writer: wait a little, then report
    try {
        // A newer schema is refused before anything is written to the file.
        int version = 0;
        {
            Statement has_meta(db_, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='meta'");
            if (has_meta.step() == SQLITE_ROW && has_meta.integer(0) == 1) {
                Statement v(db_, "SELECT value FROM meta WHERE key='schema_version'");
                if (v.step() == SQLITE_ROW) version = static_cast<int>(v.integer(0));
            }
        }
        if (version > kSchemaVersion)
            throw HistoryError(fmt::format(
                "history database {} has schema version {}, newer than this voka-host knows ({}): "
                "use a newer voka-host or another database file",
                path, version, kSchemaVersion));
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec(kSchema);
        Statement set(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', ?1)");
        set.bind(1, kSchemaVersion);
        if (set.step() != SQLITE_DONE) throw HistoryError(sqlite3_errmsg(db_));
    } catch (const HistoryError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        const std::string what = e.what();
        throw HistoryError(what.rfind("history database", 0) == 0 ? what
                                                                    : fmt::format("history database {}: {}", path, what));
    }
}

HistoryDb::~HistoryDb() { sqlite3_close(db_); }

void HistoryDb::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw HistoryError(why);
    }
}

void HistoryDb::report(const std::string& what) {
    if (!failing_ && problem_) problem_(fmt::format("history database {}: {}", path_, what));
    failing_ = true;
}

void HistoryDb::save(uint32_t data_id, int record_type, const std::string& device_type,
                     std::span<const uint8_t> image) {
    MutexLock lock(mutex_);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    Statement insert(db_,
                     "INSERT INTO history (data_id, record_type, device_type, time, image) VALUES (?1, ?2, ?3, ?4, ?5)");
    insert.bind(1, data_id).bind(2, record_type).bind(3, device_type).bind(4, now).bind(5, image);
    if (insert.step() != SQLITE_DONE) {
        report(fmt::format("cannot store a record of device {}: {}", data_id, sqlite3_errmsg(db_)));
        return;
    }
    if (failing_ && problem_) problem_(fmt::format("history database {}: storing again", path_));
    failing_ = false;
    if (retention_.max_rows_per_device) {
        Statement trim(db_,
                       "DELETE FROM history WHERE data_id = ?1 AND record_type = ?2 AND row <= "
                       "(SELECT row FROM history WHERE data_id = ?1 AND record_type = ?2 "
                       " ORDER BY row DESC LIMIT 1 OFFSET ?3)");
        trim.bind(1, data_id).bind(2, record_type).bind(3, retention_.max_rows_per_device);
        trim.step();
    }
    if (retention_.max_age_s) {
        Statement trim(db_, "DELETE FROM history WHERE data_id = ?1 AND record_type = ?2 AND time < ?3");
        trim.bind(1, data_id).bind(2, record_type).bind(3, now - retention_.max_age_s);
        trim.step();
    }
}

std::vector<HistoryRow> HistoryDb::latest_images() {
    MutexLock lock(mutex_);
    Statement q(db_,
                "SELECT row, data_id, record_type, device_type, time, image FROM history WHERE row IN "
                "(SELECT max(row) FROM history GROUP BY data_id, record_type, device_type) ORDER BY row");
    std::vector<HistoryRow> out;
    while (q.step() == SQLITE_ROW) out.push_back(row_from(q));
    return out;
}

std::vector<HistoryRow> HistoryDb::rows(uint32_t data_id) {
    MutexLock lock(mutex_);
    Statement q(db_,
                "SELECT row, data_id, record_type, device_type, time, image FROM history WHERE data_id = ?1 ORDER BY row");
    q.bind(1, data_id);
    std::vector<HistoryRow> out;
    while (q.step() == SQLITE_ROW) out.push_back(row_from(q));
    return out;
}

size_t HistoryDb::row_count() {
    MutexLock lock(mutex_);
    Statement q(db_, "SELECT count(*) FROM history");
    return q.step() == SQLITE_ROW ? static_cast<size_t>(q.integer(0)) : 0;
}

void HistoryDb::alarm_started(const Alarm& a) {
    MutexLock lock(mutex_);
    Statement s(db_,
                "INSERT INTO alarms (data_id, rule_id, text, grade, code, name, started) VALUES (?1,?2,?3,?4,?5,?6,?7)");
    s.bind(1, a.data_id).bind(2, a.rule_id).bind(3, a.text).bind(4, a.grade).bind(5, a.alarm_code)
        .bind(6, a.alarm_name).bind(7, a.started);
    if (s.step() != SQLITE_DONE) report(fmt::format("cannot record an alarm start: {}", sqlite3_errmsg(db_)));
}

void HistoryDb::alarm_ended(const Alarm& a) {
    MutexLock lock(mutex_);
    Statement s(db_,
                "UPDATE alarms SET ended = ?1 WHERE ended IS NULL AND data_id = ?2 AND rule_id = ?3 AND text = ?4");
    s.bind(1, a.ended).bind(2, a.data_id).bind(3, a.rule_id).bind(4, a.text);
    if (s.step() != SQLITE_DONE) report(fmt::format("cannot record an alarm end: {}", sqlite3_errmsg(db_)));
}

std::vector<Alarm> HistoryDb::active_alarms() {
    MutexLock lock(mutex_);
    Statement q(db_,
                "SELECT data_id, rule_id, text, grade, code, name, started, ended FROM alarms WHERE ended IS NULL "
                "ORDER BY row");
    std::vector<Alarm> out;
    while (q.step() == SQLITE_ROW) out.push_back(alarm_from(q));
    return out;
}

std::vector<Alarm> HistoryDb::all_alarms() {
    MutexLock lock(mutex_);
    Statement q(db_, "SELECT data_id, rule_id, text, grade, code, name, started, ended FROM alarms ORDER BY row");
    std::vector<Alarm> out;
    while (q.step() == SQLITE_ROW) out.push_back(alarm_from(q));
    return out;
}
