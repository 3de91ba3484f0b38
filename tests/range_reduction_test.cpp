// A range of history reduced to buckets of min/max/mean: checked against a
// straightforward computation on the same rows (each bucket's rows picked
// by comparing their times with the bucket's bounds, then summed and
// compared value by value), over a real database through the streamed body
// as the HTTP side answers it.
#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "host/voka-host/events/json_writer.h"
#include "host/voka-host/http/api_pages.h"
#include "host/voka-host/http/reduced_history_body.h"
#include "host/voka-host/reading/range_reduction.h"
#include "host/voka-host/reading/reading_columns.h"
#include "host/voka-host/presentation/time_text.h"
#include "host/voka-host/records/record_types.h"
#include "tests/support/json.h"

namespace {

struct Row {
    int64_t time;
    DecodedRecord record;
};

// The reduction written the plain way: for every bucket, the rows whose time
// lies in its bounds, then every column's values among them.
Json::Value reference(const std::vector<Row>& rows, int64_t since, int64_t until, size_t points,
                      const std::set<std::string>& wanted) {
    const int64_t span = until - since + 1;
    int64_t width = 1;
    while (width * static_cast<int64_t>(points) < span) ++width;
    std::vector<std::string> order;  // columns as first met
    Json::Value v(Json::objectValue);
    v["since"] = utc_iso_time(since);
    v["until"] = utc_iso_time(until);
    v["bucket_s"] = static_cast<Json::Int64>(width);
    v["times"] = Json::Value(Json::arrayValue);
    std::vector<std::map<std::string, std::vector<double>>> buckets;
    for (int64_t start = since; start <= until; start += width) {
        std::map<std::string, std::vector<double>> values;
        bool any = false;
        for (const Row& r : rows) {
            if (r.time < start || r.time >= start + width || r.time > until) continue;
            any = true;
            for (const Reading& reading : r.record.readings) {
                const std::string name = column_name(reading);
                if (!wanted.empty() && !wanted.contains(name) && !wanted.contains(std::string(reading.name))) continue;
                if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
                if (!reading.missing) values[name].push_back(reading.value);
            }
        }
        if (!any) continue;
        v["times"].append(utc_iso_time(start));
        buckets.push_back(std::move(values));
    }
    const auto rounded = [](double x) { return Json::Value(std::round(x * 1000.0) / 1000.0); };
    v["series"] = Json::Value(Json::arrayValue);
    for (const std::string& name : order) {
        Json::Value s(Json::objectValue);
        s["name"] = name;
        for (const char* k : {"min", "max", "mean"}) s[k] = Json::Value(Json::arrayValue);
        for (auto& b : buckets) {
            const auto& xs = b[name];
            s["min"].append(xs.empty() ? Json::Value() : rounded(*std::min_element(xs.begin(), xs.end())));
            s["max"].append(xs.empty() ? Json::Value() : rounded(*std::max_element(xs.begin(), xs.end())));
            s["mean"].append(xs.empty() ? Json::Value()
                                        : rounded(std::accumulate(xs.begin(), xs.end(), 0.0) / double(xs.size())));
        }
        v["series"].append(s);
    }
    return v;
}

// The reduction's answer without the units, which the reference leaves out.
Json::Value without_units(Json::Value v) {
    for (Json::Value& s : v["series"]) s.removeMember("unit");
    return v;
}

DecodedRecord dc(float volts, std::optional<float> amperes) {
    DecodedRecord d;
    d.type = &kDcRecord;
    d.readings = {{.name = "v", .unit = "V", .value = volts},
                  {.name = "i", .unit = "A", .value = amperes.value_or(0), .missing = !amperes}};
    return d;
}

DecodedRecord rectifier(std::vector<float> currents) {
    DecodedRecord d;
    d.type = &kRectifierRecord;
    for (size_t m = 0; m < currents.size(); ++m)
        d.readings.push_back({.name = "current", .unit = "A", .module = static_cast<int>(m), .value = currents[m]});
    d.readings.push_back({.name = "output_voltage", .unit = "V", .value = 53.5f});
    return d;
}

std::string drain(BodySource& body) {
    std::string text, buffer(4096, '\0');
    while (const size_t n = body.read(buffer)) text.append(buffer.data(), n);
    return text;
}

}  // namespace

TEST(RangeReduction, MatchesTheStraightforwardComputation) {
    constexpr int64_t t0 = 1'765'252'800;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> volts(44, 56);
    // Rows every `step` seconds from t0 - `before` to t0 + `length`, some
    // with a missing current, some outside the range.
    struct Case {
        const char* what;
        int64_t since, until;
        size_t points;
        int64_t step, length;
        std::set<std::string> wanted;
    } cases[] = {
        {"a week every 5 s into 1000 points", t0, t0 + 7 * 86400, 1000, 5, 7 * 86400, {}},
        {"a day into 1000 points, rows beyond both ends", t0 + 3600, t0 + 3600 + 86400, 1000, 60, 2 * 86400, {}},
        {"one point", t0, t0 + 3600, 1, 7, 3600, {}},
        {"a range shorter than its points: one-second buckets", t0, t0 + 99, 1000, 3, 200, {}},
        {"a span not a multiple of the points", t0, t0 + 1000, 7, 1, 1000, {"v"}},
        {"gaps: buckets without rows left out", t0, t0 + 10'000, 1000, 997, 10'000, {}},
        {"rows only before the range", t0 + 20'000, t0 + 30'000, 100, 10, 10'000, {}},
    };
    for (const Case& c : cases) {
        std::vector<Row> rows;
        for (int64_t t = c.since - 1000; t <= c.since + c.length; t += c.step) {
            const float v = volts(random);
            rows.push_back({t, dc(v, (t / c.step) % 5 == 0 ? std::nullopt : std::optional<float>(v / 2))});
        }
        RangeReduction r(c.since, c.until, c.points, c.wanted);
        for (const Row& row : rows) r.add(row.time, row.record);
        EXPECT_LE(r.bucket_count(), c.points) << c.what;
        EXPECT_EQ(without_units(r.json()), reference(rows, c.since, c.until, c.points, c.wanted)) << c.what;
    }
}

TEST(RangeReduction, KeepsADipThatTheMeanWouldHide) {
    constexpr int64_t t0 = 1'765'252'800;
    RangeReduction r(t0, t0 + 7 * 86400, 1000);
    for (int64_t t = t0; t <= t0 + 7 * 86400; t += 5) r.add(t, dc(t == t0 + 86400 ? 42.0f : 54.0f, 10.0f));
    const Json::Value v = r.json()["series"][0];
    ASSERT_EQ(v["name"], "v");
    const auto& mins = v["min"];
    EXPECT_EQ(std::count_if(mins.begin(), mins.end(), [](const Json::Value& x) { return x.asDouble() == 42.0; }), 1);
    for (const Json::Value& mean : v["mean"]) EXPECT_GT(mean.asDouble(), 53.0);  // averaged away
}

TEST(RangeReduction, PicksColumnsByColumnOrReadingNameAndRefusesAnEmptyRange) {
    RangeReduction r(0, 99, 10, {"current", "output_voltage"});
    RangeReduction one(0, 99, 10, {"module_1_current"});
    for (int64_t t = 0; t < 100; ++t) {
        r.add(t, rectifier({1, 2, 3}));
        one.add(t, rectifier({1, 2, 3}));
        one.add(t, rectifier({1, 2, 3, 4}));  // one more module: a layout of its own
    }
    std::vector<std::string> names;
    for (const auto& s : r.series()) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"module_0_current", "module_1_current", "module_2_current",
                                               "output_voltage"}));
    ASSERT_EQ(one.series().size(), 1u);
    EXPECT_EQ(one.series()[0].buckets[0].count, 20u);
    EXPECT_EQ(one.rows_per_bucket()[0], 20u);
    EXPECT_THROW(RangeReduction(10, 9, 10), std::invalid_argument);
    EXPECT_THROW(RangeReduction(0, 9, 0), std::invalid_argument);
}

// The streamed answer over a real database: more rows than one slice, the
// same numbers as the reference on the rows the database holds.
TEST(ReducedHistoryBody, AnswersTheReductionOfTheStoredRows) {
    const std::string path = testing::TempDir() + "voka-reduced-history.db";
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    constexpr int64_t kNow = 1'765'252'800;
    {
        HistoryDb db(path, HistoryPolicy{Retention{0, 0}, 0});
        int64_t now = kNow - 86400;
        db.set_clock([&] { return now; });
        std::vector<uint8_t> image(41);
        db.in_one_transaction([&] {
            for (int i = 0; i < 3 * static_cast<int>(ReducedHistoryBody::kRowsPerSlice); ++i, now += 20) {
                image[i % 41] = static_cast<uint8_t>(i);
                db.save(21, 5189, "voka-dc", image);
            }
        });
    }
    const auto ask = history_query({{"data_id", "21"}, {"since", "24h"}, {"points", "500"}, {"values", "v,i"}}, kNow);
    ASSERT_TRUE(std::holds_alternative<HistoryAsk>(ask)) << std::get<std::string>(ask);
    const HistoryAsk& a = std::get<HistoryAsk>(ask);
    ReducedHistoryBody body(path, a.query, a.points, a.values);
    const std::string text = drain(body);
    ASSERT_EQ(text.find_first_not_of(' '), text.find('{'));  // whitespace while reducing, then the answer
    Json::Value got = parse_json(text);
    EXPECT_EQ(got["data_id"], 21);
    got.removeMember("data_id");

    HistoryDb reader(path, {}, {}, HistoryDb::Open::read_only);
    std::vector<Row> rows;
    reader.for_each_row({21, std::nullopt, std::nullopt, 0, false},
                        [&](const HistoryRow& r) { rows.push_back({r.time, decode_record(r.record_type, r.image)}); });
    ASSERT_GT(rows.size(), ReducedHistoryBody::kRowsPerSlice);
    // Through the same writer: a whole number is written as one and read back as an integer.
    EXPECT_EQ(without_units(got), parse_json(one_line_json(reference(rows, kNow - 86400, kNow, 500, {"v", "i"}))));
    EXPECT_LE(got["times"].size(), 500u);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}
