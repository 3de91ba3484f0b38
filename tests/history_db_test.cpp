// The host's database: history rows with their bound, the newest image per
// device for reloading, durable alarms, and refusal of a newer schema.
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "host/voka-host/alarms/durable_alarm_engine.h"

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
    EXPECT_EQ(db.write_failures(), 0u);
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
    EXPECT_EQ(db.write_failures(), 2u);  // each failure counted for /metrics, though said once
}

// Flash wears with writes: between alarm changes a device's image is stored at
// most once in each interval of the clock, and the newest one waits for a clean stop.
TEST(HistoryDb, StoresAnImageAtMostEveryIntervalAndWhenAnAlarmChanges) {
    TempDb t;
    int64_t now = 1000;
    std::vector<int64_t> stored_at;
    {
        HistoryDb db(t.path, HistoryPolicy{Retention{}, 60});
        db.set_clock([&] { return now; });
        DurableAlarmEngine engine(db, {});
        const rule_value fault{2, "DC_0", "0601", 1, 1, "电压低", "直流电压低", 1};
        rule_value clear = fault;
        clear.holds = 0;
        const auto round = [&](int64_t at, const rule_value& rule) {
            now = at;
            db.in_one_transaction([&] {
                engine.evaluate(21, {rule}, now);
                db.save(21, 5189, "voka-dc", image(static_cast<uint8_t>(at % 251)));
            });
        };
        round(1000, clear);  // first: stored
        round(1005, clear);
        round(1030, fault);  // alarm starts: stored
        round(1035, fault);
        round(1079, fault);  // still in the period 1020..1079: waits
        round(1080, fault);  // the next period: stored
        round(1095, clear);  // alarm ends: stored
        round(1100, clear);  // waits for the clean stop
        db.flush();
        for (const auto& r : db.rows(21)) stored_at.push_back(r.time);
        EXPECT_EQ(db.rows(21).back().image, image(1100 % 251));
    }
    EXPECT_EQ(stored_at, (std::vector<int64_t>{1000, 1030, 1080, 1095, 1100}));
}

// A round's writes are one transaction, committed whole: another reader sees
// none of them until it ends, and rows without an alarm change wait for the
// round that ends commit_every_s after their transaction began, for an alarm
// change (in a round or outside one), a reader's commit_held(), a clean stop,
// a clock set back, or the database's end.
TEST(HistoryDb, RoundsAreCommittedWholeAndHeldRowsWhenDue) {
    TempDb t;
    int64_t now = 1000;
    sqlite3* reader = nullptr;
    const auto visible = [&] {
        sqlite3_stmt* q = nullptr;
        sqlite3_prepare_v2(reader, "SELECT count(*) FROM history", -1, &q, nullptr);
        sqlite3_step(q);
        const int n = sqlite3_column_int(q, 0);
        sqlite3_finalize(q);
        return n;
    };
    enum class Step { round, alarm_round, comm_alarm, commit_held, flush, end };
    struct Case {
        int64_t at;
        Step step;
        int visible;  // rows another connection sees afterwards
    };
    const Case cases[] = {
        {1000, Step::round, 0},           // held
        {1100, Step::round, 0},           //
        {1299, Step::round, 0},           // 299 s after its transaction began
        {1300, Step::round, 4},           // 300 s: this round commits
        {1305, Step::round, 4},           //
        {1310, Step::commit_held, 5},     // a reader asks
        {1315, Step::round, 5},           //
        {1320, Step::alarm_round, 7},     // an alarm change: committed with its round
        {1325, Step::round, 7},           //
        {1330, Step::comm_alarm, 8},      // outside a round: at once, with what was held
        {1335, Step::round, 8},           //
        {1200, Step::round, 10},          // the clock set back
        {1205, Step::round, 10},          //
        {1210, Step::flush, 11},          // a clean stop
        {1215, Step::round, 11},          //
        {1220, Step::end, 12},            // the database closed
    };
    {
        HistoryDb db(t.path, HistoryPolicy{Retention{}, 0, 300});
        db.set_clock([&] { return now; });
        ASSERT_EQ(sqlite3_open(t.path.c_str(), &reader), SQLITE_OK);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.at);
            now = c.at;
            const int before = visible();
            const Alarm alarm{21, "DC_0", std::to_string(c.at), 1, "0601", "低", c.at};
            switch (c.step) {
                case Step::round:
                case Step::alarm_round:
                    db.in_one_transaction([&] {
                        db.save(21, 5189, "voka-dc", image(static_cast<uint8_t>(c.at)));
                        if (c.step == Step::alarm_round) db.alarm_started(alarm);
                        EXPECT_EQ(visible(), before);  // nothing of a round before its end
                    });
                    break;
                case Step::comm_alarm: db.alarm_started(alarm); break;
                case Step::commit_held: db.commit_held(); break;
                case Step::flush: db.flush(); break;
                case Step::end: break;
            }
            if (c.step == Step::end) break;
            EXPECT_EQ(visible(), c.visible);
        }
    }
    EXPECT_EQ(visible(), cases[std::size(cases) - 1].visible);
    sqlite3_close(reader);
}

// A reader's commit_held() during a round waits for the round's end, and then
// commits the round whole.
TEST(HistoryDb, CommitHeldWaitsForTheRoundBeingWritten) {
    TempDb t;
    HistoryDb db(t.path, HistoryPolicy{Retention{}, 0, 300});
    std::atomic<bool> committed{false};
    std::thread reader;
    db.in_one_transaction([&] {
        db.save(11, 5188, "voka-ac", image(1, 62));
        reader = std::thread([&] {
            db.commit_held();
            committed = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(committed) << "committed in the middle of a round";
        db.save(21, 5189, "voka-dc", image(2));
    });
    reader.join();
    HistoryDb other(t.path, {}, {}, HistoryDb::Open::read_only);
    EXPECT_EQ(other.row_count(), 2u);
}

// Both bounds hold within 1 % while rows come and go in batches.
TEST(HistoryDb, HoldsTheRowAndAgeBoundsWithinOnePercent) {
    struct Case { Retention retention; int64_t step_s; };
    for (const Case c : {Case{Retention{500, 0}, 5}, Case{Retention{0, 86'400}, 60}, Case{Retention{300, 86'400}, 240}}) {
        TempDb t;
        HistoryDb db(t.path, HistoryPolicy{c.retention, 0});
        int64_t now = 1'000'000;
        db.set_clock([&] { return now; });
        for (int i = 0; i < 3000; ++i, now += c.step_s)
            db.in_one_transaction([&] {
                db.save(21, 5189, "voka-dc", image(1));
                db.save(1, 5190, "voka-rc", image(2, 147));
            });
        const int64_t last = now - c.step_s;
        for (uint32_t id : {21u, 1u}) {
            const auto rows = db.rows(id);
            ASSERT_FALSE(rows.empty());
            const auto kept_s = last - rows.front().time;
            if (c.retention.max_rows_per_device) {
                EXPECT_LE(rows.size(), c.retention.max_rows_per_device * 101 / 100) << id;
            }
            if (c.retention.max_age_s) {
                EXPECT_LE(kept_s, c.retention.max_age_s * 101 / 100) << id;
            }
            // Not trimmed beyond the bound either.
            const bool rows_bind = c.retention.max_rows_per_device &&
                                   (!c.retention.max_age_s ||
                                    c.retention.max_rows_per_device * c.step_s < c.retention.max_age_s);
            if (rows_bind) {
                EXPECT_GE(rows.size(), c.retention.max_rows_per_device) << id;
            } else {
                EXPECT_GE(kept_s, c.retention.max_age_s - c.step_s) << id;
            }
        }
    }
}

// Alarms of a device the site no longer has end once, with the reason kept.
TEST(HistoryDb, EndsAlarmsOfDevicesNoLongerInTheSiteOnce) {
    TempDb t;
    HistoryDb db(t.path, kEveryRound);
    DurableAlarmEngine engine(db, {});
    const rule_value fault{2, "DC_0", "0601", 1, 1, "电压低", "直流电压低", 1};
    engine.evaluate(21, {fault}, 100);
    engine.evaluate(22, {fault}, 100);
    const auto in_site = [](uint32_t id) { return id == 21; };
    const auto ended = db.end_alarms_of_devices_not(in_site, 200, "its device is no longer in the site");
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].data_id, 22u);
    EXPECT_EQ(ended[0].ended, 200);
    EXPECT_TRUE(db.end_alarms_of_devices_not(in_site, 300, "again").empty());
    ASSERT_EQ(db.active_alarms().size(), 1u);
    EXPECT_EQ(db.active_alarms()[0].data_id, 21u);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(t.path.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(raw, "SELECT data_id, ended, end_reason FROM alarms WHERE end_reason IS NOT NULL", -1, &q,
                       nullptr);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(q, 0), 22);
    EXPECT_EQ(sqlite3_column_int(q, 1), 200);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(q, 2)), "its device is no longer in the site");
    EXPECT_EQ(sqlite3_step(q), SQLITE_DONE);
    sqlite3_finalize(q);
    sqlite3_close(raw);
}

// kill -9 while rounds are written: the file opens whole, every alarm change a
// finished round reported is there, every row stored more than commit_every_s
// before the last round that ended is there (only the held window is lost),
// and writing goes on in the same file.
TEST(HistoryDb, IsWholeAfterAKillInTheMiddleOfWriting) {
    TempDb t;
    constexpr int64_t kAlarmEvery = 700;  // rounds, of a second each: the held window fills between alarms
    const HistoryPolicy policy = kEveryRound;
    ASSERT_EQ(policy.commit_every_s, HistoryPolicy::kDefaultCommitEveryS);
    std::set<int64_t> reported;  // alarm starts whose round ended before the kill
    for (const int rounds_before_kill : {40, 400, 1500}) {
        SCOPED_TRACE(rounds_before_kill);
        const int64_t first = 1'000'000 + rounds_before_kill * 10'000;
        int acks[2];
        ASSERT_EQ(pipe(acks), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(acks[0]);
            HistoryDb db(t.path, policy);
            int64_t now = first;
            db.set_clock([&] { return now; });
            for (int64_t round = 0;; ++round, ++now) {
                const bool alarm = round % kAlarmEvery == 0;
                db.in_one_transaction([&] {
                    for (uint32_t id : {11u, 21u, 31u})
                        db.save(id, 5189, "voka-dc", image(static_cast<uint8_t>(now % 251), 300));
                    if (alarm) db.alarm_started(Alarm{21, "DC_0", std::to_string(now), 1, "0601", "低", now});
                });
                if (write(acks[1], &now, sizeof now) != sizeof now) _exit(1);
            }
        }
        close(acks[1]);
        int64_t ended = 0, last = 0;
        const auto note = [&] {
            last = ended;
            if ((ended - first) % kAlarmEvery == 0) reported.insert(ended);
        };
        for (int n = 0; n < rounds_before_kill && read(acks[0], &ended, sizeof ended) == sizeof ended; ++n) note();
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        while (read(acks[0], &ended, sizeof ended) == sizeof ended) note();
        close(acks[0]);
        ASSERT_GE(last, first + rounds_before_kill - 1);

        sqlite3* check = nullptr;
        ASSERT_EQ(sqlite3_open(t.path.c_str(), &check), SQLITE_OK);
        sqlite3_stmt* q = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(check, "PRAGMA integrity_check", -1, &q, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), "ok");
        sqlite3_finalize(q);
        sqlite3_close(check);

        HistoryDb db(t.path, {}, {}, HistoryDb::Open::read_only);
        std::set<int64_t> stored;
        for (const Alarm& a : db.all_alarms()) stored.insert(a.started);
        for (const int64_t s : reported) EXPECT_TRUE(stored.count(s)) << "alarm of " << s << " lost";
        EXPECT_GT(db.row_count(), 0u);
        std::set<int64_t> times;  // of this run's rows
        for (const auto& row : db.rows(21)) {
            ASSERT_EQ(row.image, image(static_cast<uint8_t>(row.time % 251), 300)) << "row " << row.row;
            if (row.time >= first) times.insert(row.time);
        }
        for (int64_t at = first; at <= last - policy.commit_every_s; ++at)
            ASSERT_TRUE(times.count(at)) << "the row of " << at << " lost; the last round ended at " << last;
        ASSERT_FALSE(times.empty());
        EXPECT_EQ(*times.rbegin() - first + 1, static_cast<int64_t>(times.size())) << "a gap in the rows";
    }
}
