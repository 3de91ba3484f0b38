// The host's database: history rows with their bound, the newest image per
// device for reloading, durable alarms, and refusal of a newer schema.
#include <sqlite3.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "host_program/alarms/durable_alarm_engine.h"

namespace {

struct TempDb {
    std::string path = testing::TempDir() + "voka-history-" +
                       std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                       testing::UnitTest::GetInstance()->current_test_info()->name() + ".db";
    TempDb() { remove(); }
    ~TempDb() { remove(); }
    void remove() const {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    }
};

std::vector<uint8_t> image(uint8_t fill, size_t n = 41) { return std::vector<uint8_t>(n, fill); }

const HistoryPolicy kEveryRound{Retention{}, 0};

}  // namespace

TEST(HistoryDb, KeepsTheNewestRowsWithinTheBoundPerDevice) {
    TempDb t;
    HistoryDb db(t.path, HistoryPolicy{Retention{3, 0}, 0});
    for (uint8_t i = 1; i <= 5; ++i) db.save(21, 5189, "voka-dc", image(i));
    db.save(1, 5190, "voka-rc", image(9, 147));
    const auto rows = db.rows(21);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].image, image(3));
    EXPECT_EQ(rows[2].image, image(5));
    EXPECT_EQ(db.row_count(), 4u);
}

TEST(HistoryDb, LatestImagesTellDevicesWithTheSameIdApart) {
    TempDb t;
    HistoryDb db(t.path, kEveryRound);
    db.save(7, 5188, "voka-ac", image(1, 62));
    db.save(7, 5189, "voka-dc", image(2));  // AC and DC ids may coincide
    db.save(7, 5188, "voka-ac", image(3, 62));
    const auto latest = db.latest_images();
    ASSERT_EQ(latest.size(), 2u);
    EXPECT_EQ(latest[0].record_type, 5189);
    EXPECT_EQ(latest[0].image, image(2));
    EXPECT_EQ(latest[1].device_type, "voka-ac");
    EXPECT_EQ(latest[1].image, image(3, 62));
}

TEST(HistoryDb, AlarmsSurviveReopeningAndAreNotRaisedAgain) {
    TempDb t;
    std::vector<std::string> announced;
    const auto listen = [&](const Alarm& a, bool started) { announced.push_back((started ? "+" : "-") + a.text); };
    const rule_value fault{2, "RC_0", "06024", 1, 1, "整流模块故障告警", "模块2整流模块故障告警", 2};
    rule_value clear = fault;
    clear.holds = 0;
    {
        HistoryDb db(t.path, kEveryRound);
        DurableAlarmEngine engine(db, listen);
        EXPECT_TRUE(engine.evaluate(1, {fault}, 100));
        EXPECT_TRUE(engine.evaluate(1, {fault}, 110));  // still holding: no second start
    }
    {
        HistoryDb db(t.path, kEveryRound);
        DurableAlarmEngine engine(db, listen);
        engine.load();
        EXPECT_EQ(engine.active().size(), 1u);
        EXPECT_TRUE(engine.evaluate(1, {fault}, 120));  // standing alarm after a restart: not raised again
        EXPECT_FALSE(engine.evaluate(1, {clear}, 130));
        const auto all = db.all_alarms();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].started, 100);
        EXPECT_EQ(all[0].ended, 130);
        EXPECT_TRUE(db.active_alarms().empty());
    }
    EXPECT_EQ(announced, (std::vector<std::string>{"+模块2整流模块故障告警", "-模块2整流模块故障告警"}));
}

TEST(HistoryDb, RefusesADatabaseOfANewerSchemaWithoutTouchingIt) {
    TempDb t;
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(t.path.c_str(), &raw), SQLITE_OK);
        sqlite3_exec(raw, "CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER); "
                          "INSERT INTO meta VALUES ('schema_version', 7);", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    }
    try {
        HistoryDb db(t.path, kEveryRound);
        FAIL() << "a newer schema was opened";
    } catch (const HistoryError& e) {
        EXPECT_NE(std::string(e.what()).find("has schema version 7, newer than this voka-host knows (2)"),
                  std::string::npos)
            << e.what();
    }
}

TEST(HistoryDb, RefusesAFileThatIsNotADatabase) {
    TempDb t;
    FILE* f = std::fopen(t.path.c_str(), "w");
    std::fputs("this is not a database, just text that is long enough to have a header page......", f);
    std::fclose(f);
    EXPECT_THROW(HistoryDb(t.path, kEveryRound), HistoryError);
}

TEST(HistoryDb, ReportsAFailedWriteOnceAndGoesOn) {
    TempDb t;
    std::vector<std::string> problems;
    HistoryDb db(t.path, kEveryRound, [&](const std::string& p) { problems.push_back(p); });
    db.save(1, 5189, "voka-dc", image(1));
    // Another connection holds the write lock past the busy time-out.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(t.path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    db.save(1, 5189, "voka-dc", image(2));
    db.save(1, 5189, "voka-dc", image(3));
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    db.save(1, 5189, "voka-dc", image(4));
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find("cannot store a record of device 1"), std::string::npos) << problems[0];
    EXPECT_NE(problems[1].find("storing again"), std::string::npos);
    EXPECT_EQ(db.rows(1).size(), 2u);
}
