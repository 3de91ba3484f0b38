// Which files the history database takes: its own (a version 1 file of ours
// migrated), created only when asked; any other file refused byte for byte
// unchanged, with a message that says what it is.
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

#include "host/voka-host/alarms/durable_alarm_engine.h"
#include "host/voka-host/history/database_file.h"
#include "tests/support/temp_database.h"

namespace {

namespace fs = std::filesystem;

struct TempFile : TempDatabase {
    TempFile() : TempDatabase("voka-file-") {}
};

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void run_sql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

long long pragma(const std::string& path, const char* name) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &q, nullptr);
    const long long v = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int64(q, 0) : -1;
    sqlite3_finalize(q);
    sqlite3_close(db);
    return v;
}

}  // namespace

TEST(HistoryFile, RefusesAnyOtherFileUnchangedSayingWhatItIs) {
    struct Case { std::string name; std::function<void(const std::string&)> make; std::string message; };
    const std::vector<Case> cases = {
        {"text", [](const std::string& p) { std::ofstream(p) << "site notes, not a database\n"; },
         "is not an SQLite database"},
        {"empty", [](const std::string& p) { std::ofstream{p}; }, "is an empty file"},
        {"foreign", [](const std::string& p) { run_sql(p, "CREATE TABLE readings (t INTEGER, v REAL); "
                                                          "INSERT INTO readings VALUES (1, 2.5);"); },
         "is an SQLite database of another program (tables: readings)"},
        {"foreign in WAL mode", [](const std::string& p) { run_sql(p, "PRAGMA journal_mode=WAL; CREATE TABLE history (x);"); },
         "is an SQLite database of another program (tables: history)"},
        {"other application", [](const std::string& p) { run_sql(p, "PRAGMA application_id = 1234; CREATE TABLE t (x);"); },
         "is an SQLite database of another program (application id 0x000004d2)"},
        {"no tables", [](const std::string& p) { run_sql(p, "PRAGMA user_version = 3;"); },
         "is an SQLite database with no tables"},
    };
    for (const auto& c : cases) {
        TempFile f;
        c.make(f.path);
        const std::string before = bytes_of(f.path);
        for (const auto open : {HistoryDb::Open::now, HistoryDb::Open::later, HistoryDb::Open::read_only}) {
            try {
                HistoryDb db(f.path, HistoryPolicy{}, {}, open);
                ADD_FAILURE() << c.name << ": taken";
            } catch (const HistoryError& e) {
                EXPECT_NE(std::string(e.what()).find(f.path + ": " + c.message), std::string::npos)
                    << c.name << ": " << e.what();
            }
        }
        EXPECT_EQ(bytes_of(f.path), before) << c.name;
        EXPECT_FALSE(fs::exists(f.path + "-journal")) << c.name;
    }
}

TEST(HistoryFile, CreatesOnlyWhenOpenedAndStampsTheFileAsOurs) {
    TempFile f;
    EXPECT_THROW(HistoryDb(f.path, HistoryPolicy{}, {}, HistoryDb::Open::read_only), HistoryError);
    {
        HistoryDb db(f.path, HistoryPolicy{}, {}, HistoryDb::Open::later);
        EXPECT_FALSE(fs::exists(f.path));
        db.open();
        EXPECT_TRUE(fs::exists(f.path));
    }
    // Known as ours from the first bytes of the main file.
    const std::string head = bytes_of(f.path).substr(0, 72);
    ASSERT_EQ(head.size(), 72u);
    EXPECT_EQ(head.substr(68, 4), "VOKA");
    EXPECT_EQ(pragma(f.path, "user_version"), HistoryDb::kSchemaVersion);
    EXPECT_EQ(inspect_database_file(f.path, HistoryDb::kSchemaVersion).version, HistoryDb::kSchemaVersion);
    run_sql(f.path, "PRAGMA user_version = 3");
    try {
        HistoryDb db(f.path, HistoryPolicy{}, {}, HistoryDb::Open::read_only);
        FAIL() << "a newer schema was opened";
    } catch (const HistoryError& e) {
        EXPECT_NE(std::string(e.what()).find("has schema version 3, newer than this voka-host knows (2)"),
                  std::string::npos) << e.what();
    }
}

// A file written before the application id: its rows and standing alarms stay.
TEST(HistoryFile, MigratesAVersion1FileOfOurs) {
    TempFile f;
    run_sql(f.path, R"(PRAGMA journal_mode=WAL;
        CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);
        INSERT INTO meta VALUES ('schema_version', 1);
        CREATE TABLE history (row INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, record_type INTEGER NOT NULL,
          device_type TEXT NOT NULL, time INTEGER NOT NULL, image BLOB NOT NULL);
        CREATE INDEX history_by_device ON history (data_id, record_type, row);
        CREATE TABLE alarms (row INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, rule_id TEXT NOT NULL,
          text TEXT NOT NULL, grade INTEGER NOT NULL, code TEXT NOT NULL, name TEXT NOT NULL,
          started INTEGER NOT NULL, ended INTEGER);
        INSERT INTO history (data_id, record_type, device_type, time, image) VALUES (21, 5189, 'voka-dc', 50, x'0102');
        INSERT INTO alarms (data_id, rule_id, text, grade, code, name, started) VALUES (9, 'DC_0', 't', 1, 'c', 'n', 40);)");
    {  // read only: not migrated, still readable, its alarms without end reasons too
        HistoryDb db(f.path, HistoryPolicy{}, {}, HistoryDb::Open::read_only);
        EXPECT_EQ(db.rows(21).size(), 1u);
        EXPECT_EQ(db.alarm_log({}).size(), 1u);
    }
    EXPECT_EQ(pragma(f.path, "application_id"), 0);
    {
        HistoryDb db(f.path, HistoryPolicy{});
        ASSERT_EQ(db.rows(21).size(), 1u);
        EXPECT_EQ(db.rows(21)[0].image, (std::vector<uint8_t>{1, 2}));
        EXPECT_EQ(db.end_alarms_of_devices_not([](uint32_t) { return false; }, 60, "gone").size(), 1u);
    }
    EXPECT_EQ(bytes_of(f.path).substr(68, 4), "VOKA");
    EXPECT_EQ(pragma(f.path, "user_version"), HistoryDb::kSchemaVersion);
}

// A database name is a file name and nothing else: the writer and every
// reader open the same file whatever the name holds, relative or absolute,
// and no other file appears beside it.
TEST(HistoryFile, EveryReaderOpensTheFileTheWriterMadeWhateverItsName) {
    const fs::path dir = fs::path(testing::TempDir()) / "voka-file-names";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path was = fs::current_path();
    fs::current_path(dir);  // relative names as a user types them
    const std::vector<std::string> names = {
        "q%41.db", "a?mode=memory.db", "b#c.db", "with space.db", "file:x.db", ":memory:", "x?y#z%20.db",
        (dir / "file:absolute%41?.db").string(),
    };
    for (const std::string& name : names) {
        {
            HistoryDb writer(name, HistoryPolicy{Retention{}, 0});
            writer.save(21, 5189, "voka-dc", std::vector<uint8_t>(41, 7));
        }
        EXPECT_TRUE(fs::exists(dir / fs::path(name).filename())) << name;
        try {
            HistoryDb reader(name, {}, {}, HistoryDb::Open::read_only);
            EXPECT_EQ(reader.rows(21).size(), 1u) << name;
        } catch (const HistoryError& e) {
            ADD_FAILURE() << name << ": " << e.what();
        }
        std::set<std::string> databases;  // the files present, a WAL's companions taken as their database
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string file = entry.path().filename().string();
            for (const std::string suffix : {"-wal", "-shm"})
                if (file.size() > suffix.size() && file.ends_with(suffix)) file.resize(file.size() - suffix.size());
            databases.insert(file);
        }
        EXPECT_EQ(databases, std::set<std::string>{fs::path(name).filename().string()}) << name;
        for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
    }
    fs::current_path(was);
    fs::remove_all(dir);
}
