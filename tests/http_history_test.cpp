// /api/v1/history streamed: the bytes the body hands out, in pieces of any
// size, are exactly those of the whole answer built as one JSON tree (as
// the page was made before it streamed); the number of answers on their way
// is bounded; a database that cannot be read is a 503 before anything goes.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "host/voka-host/events/json_writer.h"
#include "host/voka-host/http/api_pages.h"
#include "host/voka-host/http/alarm_log_body.h"
#include "host/voka-host/http/history_body.h"
#include "host/voka-host/reading/alarm_log.h"
#include "host/voka-host/presentation/time_text.h"
#include "host/voka-host/records/record_types.h"
#include "tests/support/json.h"
#include "tests/support/temp_database.h"

namespace {

struct ServedHistory : TempDatabase {
    ServedHistory() : TempDatabase("voka-http-history-") {}
};

// The answer as one tree, the way the page built it before it streamed.
std::string whole_answer(uint32_t data_id, const std::vector<HistoryRow>& rows) {
    Json::Value v(Json::objectValue);
    v["data_id"] = data_id;
    Json::Value& records = v["records"] = Json::Value(Json::arrayValue);
    for (const HistoryRow& row : rows) {
        Json::Value r(Json::objectValue);
        r["time"] = utc_iso_time(row.time);
        r["record_type"] = row.record_type;
        r["fields"] = decode_record(row.record_type, row.image).fields;
        records.append(std::move(r));
    }
    return one_line_json(v) + "\n";
}

// Everything `body` hands out, asked for `piece` bytes at a time.
std::string drain(BodySource& body, size_t piece) {
    std::string text, buffer(piece, '\0');
    while (const size_t n = body.read(buffer)) {
        EXPECT_LE(n, piece);
        text.append(buffer.data(), n);
    }
    EXPECT_EQ(body.read(buffer), 0u) << "a body that ended must stay ended";
    return text;
}

std::vector<uint8_t> seeded_image(uint8_t seed, size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
    return bytes;
}

}  // namespace

TEST(HistoryBody, HandsOutTheBytesOfTheWholeAnswerInPiecesOfAnySize) {
    ServedHistory t;
    {
        HistoryDb db(t.path, HistoryPolicy{Retention{}, 0});
        int64_t now = 1'765'252'800;
        db.set_clock([&] { return now; });
        for (uint8_t i = 0; i < 30; ++i, now += 60) {
            db.save(21, 5189, "voka-dc", seeded_image(i, 41));
            db.save(11, 5188, "voka-ac", seeded_image(i, 62));
        }
        db.save(1, 5190, "voka-rc", seeded_image(3, 147));
    }
    HistoryDb reader(t.path, {}, {}, HistoryDb::Open::read_only);
    struct Case {
        HistoryQuery query;
    } cases[] = {
        {{21, std::nullopt, std::nullopt, 100, true}},
        {{21, std::nullopt, std::nullopt, 1, true}},
        {{11, 1'765'252'800 + 600, std::nullopt, 5, true}},
        {{1, std::nullopt, std::nullopt, 100, true}},
        {{99, std::nullopt, std::nullopt, 100, true}},  // no such device: no records
        {{21, 1'865'252'800, std::nullopt, 100, true}},  // nothing since: no records
    };
    for (const Case& c : cases) {
        std::vector<HistoryRow> rows;
        reader.for_each_row(c.query, [&](const HistoryRow& r) { rows.push_back(r); });
        const std::string expected = whole_answer(c.query.data_id, rows);
        for (const size_t piece : {size_t{1}, size_t{7}, size_t{100}, size_t{16 * 1024}}) {
            HistoryBody body(t.path, c.query);
            EXPECT_EQ(drain(body, piece), expected) << "data id " << c.query.data_id << ", pieces of " << piece;
        }
    }
}

TEST(HistoryPage, StreamsABoundedNumberAtOnceAndSays503WhenTheDatabaseCannotBeRead) {
    ServedHistory t;
    {
        HistoryDb db(t.path, HistoryPolicy{Retention{}, 0});
        db.save(21, 5189, "voka-dc", seeded_image(1, 41));
    }
    const HttpRequest request{"/api/v1/history", {{"data_id", "21"}}};
    const auto streams = std::make_shared<std::atomic<int>>(0);
    std::vector<HttpResponse> on_their_way;
    for (int i = 0; i < kMostHistoryStreams; ++i) {
        on_their_way.push_back(history_page(request, {t.path}, 1'765'252'800, streams));
        ASSERT_EQ(on_their_way.back().status, 200);
        ASSERT_TRUE(on_their_way.back().stream);
    }
    EXPECT_EQ(streams->load(), kMostHistoryStreams);
    const HttpResponse busy = history_page(request, {t.path}, 1'765'252'800, streams);
    EXPECT_EQ(busy.status, 503);
    EXPECT_NE(std::find(busy.headers.begin(), busy.headers.end(), std::pair<std::string, std::string>("Retry-After", "2")),
              busy.headers.end());
    // An answer that is done (or dropped with its connection) makes room.
    EXPECT_NE(drain(*on_their_way.back().stream, 4096).find("\"data_id\":21"), std::string::npos);
    on_their_way.pop_back();
    EXPECT_EQ(streams->load(), kMostHistoryStreams - 1);
    EXPECT_EQ(history_page(request, {t.path}, 1'765'252'800, streams).status, 200);
    on_their_way.clear();
    EXPECT_EQ(streams->load(), 0);

    const HttpResponse missing = history_page(request, {t.path + ".missing"}, 1'765'252'800, streams);
    EXPECT_EQ(missing.status, 503);
    EXPECT_NE(missing.body.find("history cannot be read"), std::string::npos) << missing.body;
    EXPECT_EQ(history_page({"/api/v1/history", {}}, {t.path}, 0, streams).status, 400);
    EXPECT_EQ(streams->load(), 0);
}

// The writer holds rows uncommitted between commits, where a connection of
// the page's own cannot see them; the page has them committed before it
// reads, so its answer holds every stored row, the last one first.
TEST(HistoryPage, AnswersWithTheRowsTheWriterHoldsUncommitted) {
    ServedHistory t;
    int64_t now = 1'765'252'800;
    HistoryDb db(t.path, HistoryPolicy{Retention{}, 0});
    db.set_clock([&] { return now; });
    for (uint8_t i = 0; i < 3; ++i, now += 5)
        db.in_one_transaction([&] { db.save(21, 5189, "voka-dc", seeded_image(i, 41)); });
    const auto answer = [&](const HistorySource& source) {
        const HttpRequest request{"/api/v1/history", {{"data_id", "21"}}};
        return drain(*history_page(request, source, now, std::make_shared<std::atomic<int>>(0)).stream, 4096);
    };
    EXPECT_EQ(answer({t.path}), whole_answer(21, {})) << "the rows were not held: this shows nothing";
    std::vector<HistoryRow> newest_first = db.rows(21);
    std::reverse(newest_first.begin(), newest_first.end());
    ASSERT_EQ(newest_first.size(), 3u);
    EXPECT_EQ(newest_first[0].image, seeded_image(2, 41));
    EXPECT_EQ(answer({t.path, [&] { db.commit_held(); }}), whole_answer(21, newest_first));
}

// /api/v1/alarms streamed: the log's alarms, the newest start first, cut at
// the limit, each as the log's JSON lines show it; counted with the history
// answers, since each holds a database connection.
TEST(AlarmLogBody, HandsOutTheLogsAlarmsUpToTheLimitAndCountsWithTheHistory) {
    ServedHistory t;
    constexpr int64_t kNow = 1'765'252'800;
    {
        HistoryDb db(t.path, HistoryPolicy{});
        for (int i = 0; i < 12; ++i) {
            Alarm a{static_cast<uint32_t>(1 + i % 2), "RC_" + std::to_string(i), "module fault", 2, "70001", "fault",
                    kNow - 3600 + 60 * i};
            db.alarm_started(a);
            if (i % 3 != 0) {
                a.ended = a.started + 30;
                a.end_reason = i == 4 ? kEndNoLongerReported : "";
                db.alarm_ended(a);
            }
        }
    }
    HistoryDb reader(t.path, {}, {}, HistoryDb::Open::read_only);
    struct Case {
        AlarmLogQuery query;
        size_t expected;
    } cases[] = {
        {{std::nullopt, std::nullopt, 100}, 12},
        {{std::nullopt, std::nullopt, 5}, 5},
        {{std::nullopt, 2u, 100}, 6},
        {{kNow - 3600 + 60 * 10, std::nullopt, 100}, 6},  // started since, or still active (0, 3, 6, 9)
        {{kNow, std::nullopt, 100}, 4},                   // only the active ones
    };
    for (const Case& c : cases) {
        Json::Value expected(Json::objectValue);
        expected["alarms"] = Json::Value(Json::arrayValue);
        for (const Alarm& a : reader.alarm_log(c.query)) expected["alarms"].append(alarm_log_json(a, kNow));
        ASSERT_EQ(expected["alarms"].size(), c.expected);
        for (const size_t piece : {size_t{1}, size_t{64}, size_t{16 * 1024}}) {
            AlarmLogBody body(t.path, c.query, kNow);
            EXPECT_EQ(drain(body, piece), one_line_json(expected) + "\n") << "limit " << c.query.limit;
        }
    }
    const Json::Value first = parse_json(drain(*alarms_page({"/api/v1/alarms", {{"limit", "1"}}}, {t.path}, kNow,
                                                            std::make_shared<std::atomic<int>>(0)).stream, 100));
    EXPECT_EQ(first["alarms"][0]["rule_id"], "RC_11");
    EXPECT_EQ(first["alarms"][0]["end"], iso_time(kNow - 3600 + 60 * 11 + 30));

    const auto streams = std::make_shared<std::atomic<int>>(kMostHistoryStreams - 1);
    const HttpResponse last = alarms_page({"/api/v1/alarms", {}}, {t.path}, kNow, streams);
    EXPECT_EQ(last.status, 200);
    EXPECT_EQ(history_page({"/api/v1/history", {{"data_id", "1"}}}, {t.path}, kNow, streams).status, 503);
    EXPECT_EQ(alarms_page({"/api/v1/alarms", {{"limit", "x"}}}, {t.path}, kNow, streams).status, 400);
    EXPECT_EQ(alarms_page({"/api/v1/alarms", {}}, {t.path + ".missing"}, kNow,
                          std::make_shared<std::atomic<int>>(0)).status, 503);
}
