// /api/v1/history streamed: the bytes the body hands out, in pieces of any
// size, are exactly those of the whole answer built as one JSON tree (as
// the page was made before it streamed); the number of answers on their way
// is bounded; a database that cannot be read is a 503 before anything goes.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "host_program/events/json_writer.h"
#include "host_program/http/api_pages.h"
#include "host_program/http/history_body.h"
#include "host_program/reading/time_text.h"
#include "host_program/records/record_types.h"

namespace {

struct TempDb {
    std::string path = testing::TempDir() + "voka-http-history-" +
                       testing::UnitTest::GetInstance()->current_test_info()->name() + ".db";
    TempDb() { remove(); }
    ~TempDb() { remove(); }
    void remove() const {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    }
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

std::vector<uint8_t> image(uint8_t seed, size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
    return bytes;
}

}  // namespace

TEST(HistoryBody, HandsOutTheBytesOfTheWholeAnswerInPiecesOfAnySize) {
    TempDb t;
    {
        HistoryDb db(t.path, HistoryPolicy{Retention{}, 0});
        int64_t now = 1'765'252'800;
        db.set_clock([&] { return now; });
        for (uint8_t i = 0; i < 30; ++i, now += 60) {
            db.save(21, 5189, "voka-dc", image(i, 41));
            db.save(11, 5188, "voka-ac", image(i, 62));
        }
        db.save(1, 5190, "voka-rc", image(3, 147));
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
    TempDb t;
    {
        HistoryDb db(t.path, HistoryPolicy{Retention{}, 0});
        db.save(21, 5189, "voka-dc", image(1, 41));
    }
    const HttpRequest request{"/api/v1/history", {{"data_id", "21"}}};
    const auto streams = std::make_shared<std::atomic<int>>(0);
    std::vector<HttpResponse> on_their_way;
    for (int i = 0; i < kMostHistoryStreams; ++i) {
        on_their_way.push_back(history_page(request, t.path, 1'765'252'800, streams));
        ASSERT_EQ(on_their_way.back().status, 200);
        ASSERT_TRUE(on_their_way.back().stream);
    }
    EXPECT_EQ(streams->load(), kMostHistoryStreams);
    const HttpResponse busy = history_page(request, t.path, 1'765'252'800, streams);
    EXPECT_EQ(busy.status, 503);
    EXPECT_NE(std::find(busy.headers.begin(), busy.headers.end(), std::pair<std::string, std::string>("Retry-After", "2")),
              busy.headers.end());
    // An answer that is done (or dropped with its connection) makes room.
    EXPECT_NE(drain(*on_their_way.back().stream, 4096).find("\"data_id\":21"), std::string::npos);
    on_their_way.pop_back();
    EXPECT_EQ(streams->load(), kMostHistoryStreams - 1);
    EXPECT_EQ(history_page(request, t.path, 1'765'252'800, streams).status, 200);
    on_their_way.clear();
    EXPECT_EQ(streams->load(), 0);

    const HttpResponse missing = history_page(request, t.path + ".missing", 1'765'252'800, streams);
    EXPECT_EQ(missing.status, 503);
    EXPECT_NE(missing.body.find("history cannot be read"), std::string::npos) << missing.body;
    EXPECT_EQ(history_page({"/api/v1/history", {}}, t.path, 0, streams).status, 400);
    EXPECT_EQ(streams->load(), 0);
}
