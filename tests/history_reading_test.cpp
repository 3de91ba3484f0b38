// Reading what voka-host kept, over a database filled by a simulator run
// whose rounds are 1.5 s apart: module 2 fails in rounds 2 and 3, the AC
// channel's phase A is low from round 4 on. Windows, limits, the CSV and text
// tables, and the alarm log with its durations.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/json.h"

namespace {

namespace fs = std::filesystem;

const std::string kListening = "voka-sim: listening on ";
constexpr unsigned kRounds = 5;

std::vector<std::string> split(const std::string& line, char by = ',') {
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string cell; std::getline(in, cell, by);) out.push_back(cell);
    if (!line.empty() && line.back() == by) out.emplace_back();
    return out;
}

struct Output {
    std::vector<std::string> lines;
    int status = -1;
    std::string errors;
};

// One database for every test of this file, filled once.
class HistoryReading : public testing::Test {
protected:
    static inline fs::path dir;
    static inline std::string db;

    static void SetUpTestSuite() {
        // ctest runs each test in a process of its own, some at the same time.
        dir = fs::path(testing::TempDir()) / ("voka-history-reading-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        db = (dir / "h.db").string();
        std::ofstream(dir / "sim.json") << R"({"equipment": {"address": 1, "baud_rate": 115200},
          "site": {"ac": [{"channels": [{"a": 231}]}], "dc": [{"v": 53.6, "battery_currents": [2.5, 1.5]}],
                   "modules": [{"current": 14.2}, {"current": 13.9}, {"current": 14.1}]},
          "changes": [{"from_round": 2, "until_round": 3, "set": {"modules[1].fault": 1}},
                      {"from_round": 4, "set": {"ac[0].channels[0].alerts[0]": 1}}]})";
        ChildProcess sim(VOKA_SIM_PATH, {(dir / "sim.json").string(), "--no-pace"});
        const std::string first = sim.next_line().value_or("");
        ASSERT_EQ(first.rfind(kListening, 0), 0u) << first;
        std::ofstream(dir / "site.json")
            << R"({"history": {"interval_s": 0}, "power_systems": [{"name": "hall", "data_id": 1,
                 "poll_interval_ms": 1500, "answer_timeout_ms": 2000, "baud_rate": 115200, "port": ")"
            << first.substr(kListening.size())
            << R"(", "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]})";
        ChildProcess host(VOKA_HOST_PATH,
                          {(dir / "site.json").string(), "--rounds", std::to_string(kRounds), "--db", db});
        host.remaining_lines();
        ASSERT_EQ(host.exit_status(), 0) << host.errors();
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static Output run(std::vector<std::string> args) {
        args.insert(args.end(), {"--db", db});
        ChildProcess p(VOKA_HOST_PATH, args);
        Output r;
        r.lines = p.remaining_lines();
        r.status = p.exit_status().value_or(-1);
        r.errors = p.errors();
        return r;
    }
    // The first CSV column of every row but the header.
    static std::vector<std::string> times(const Output& r) {
        std::vector<std::string> out;
        for (size_t i = 1; i < r.lines.size(); ++i) out.push_back(split(r.lines[i])[0]);
        return out;
    }
};

TEST_F(HistoryReading, WindowsAndLimitsSelectTheRows) {
    const Output all = run({"history", "1", "--format", "csv"});
    ASSERT_EQ(all.status, 0) << all.errors;
    const auto t = times(all);
    ASSERT_EQ(t.size(), kRounds);
    ASSERT_TRUE(std::is_sorted(t.begin(), t.end()));
    ASSERT_EQ(std::adjacent_find(t.begin(), t.end()), t.end()) << "rounds in one second";
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    } cases[] = {
        {{"--limit", "2"}, {t[0], t[1]}},
        {{"--limit", "2", "--newest-first"}, {t[4], t[3]}},
        {{"--since", t[3]}, {t[3], t[4]}},
        {{"--until", t[1]}, {t[0], t[1]}},
        {{"--since", t[1], "--until", t[3], "--newest-first"}, {t[3], t[2], t[1]}},
        {{"--since", t[1], "--limit", "1"}, {t[1]}},
        {{"--since", "1h"}, t},
        {{"--until", "1h"}, {}},
        {{"--since", "2000-01-01", "--until", "2037-12-31T00:00Z"}, t},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"history", "1", "--format", "csv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Output r = run(args);
        ASSERT_EQ(r.status, 0) << r.errors;
        EXPECT_EQ(times(r), c.expected) << testing::PrintToString(c.args);
    }
}

TEST_F(HistoryReading, CsvTextAndJsonCarryTheDecodedFields) {
    const Output csv = run({"history", "1", "--format", "csv", "--limit", "1"});
    ASSERT_EQ(csv.lines.size(), 2u) << csv.errors;
    EXPECT_EQ(csv.lines[0],
              "time,output_voltage,ac_params_0,ac_params_1,ac_params_2,ac_params_3,ac_params_4,dc_params_0,"
              "dc_params_1,module_0_current,module_1_current,module_2_current");
    const auto row = split(csv.lines[1]);
    ASSERT_EQ(row.size(), 12u);
    EXPECT_EQ(row[10], "13.9");
    EXPECT_EQ(row[0].size(), std::string("2026-12-08T06:30:15+01:00").size()) << row[0];

    const Output dc = run({"history", "21", "--format", "csv", "--limit", "1"});
    ASSERT_EQ(dc.lines.size(), 2u) << dc.errors;
    EXPECT_EQ(dc.lines[0], "time,v,i,battery_0_i,battery_1_i");
    EXPECT_EQ(split(dc.lines[1])[4], "1.5");

    // Text: a value ends where its column's name ends, with its unit.
    const Output text = run({"history", "1", "--newest-first"});
    ASSERT_EQ(text.lines.size(), kRounds + 1) << text.errors;
    const size_t end_of_column = text.lines[0].find("module_1_current") + std::string("module_1_current").size();
    for (size_t i = 1; i < text.lines.size(); ++i)
        EXPECT_EQ(text.lines[i].rfind("13.9 A", end_of_column), end_of_column - 6) << text.lines[i];

    const Output json = run({"history", "1", "--format", "json", "--limit", "1"});
    ASSERT_EQ(json.lines.size(), 1u) << json.errors;
    const Json::Value v = parse_json(json.lines[0]);
    EXPECT_EQ(v["time"].asString(), row[0]);
    EXPECT_DOUBLE_EQ(v["fields"]["modules"][1]["current"].asDouble(), 13.9);
}

TEST_F(HistoryReading, TheAlarmLogListsAlarmsThatCameAndWent) {
    // The stored starts and ends, to check the durations shown against.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(raw, "SELECT ended - started FROM alarms WHERE rule_id = 'RC_0'", -1, &q, nullptr);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    const int64_t module_fault_lasted = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    sqlite3_close(raw);
    EXPECT_GE(module_fault_lasted, 2);  // rounds 2 and 3, 1.5 s apart, ended in round 4

    const Output csv = run({"alarms", "--log", "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << csv.errors;
    ASSERT_GE(csv.lines.size(), 3u) << testing::PrintToString(csv.lines);
    EXPECT_EQ(csv.lines[0], "start,end,duration_s,data_id,rule_id,grade,code,name,text,end_reason");
    std::vector<std::string> starts;
    bool saw_module_fault = false, saw_low_phase = false;
    for (size_t i = 1; i < csv.lines.size(); ++i) {
        const auto a = split(csv.lines[i]);
        starts.push_back(a[0]);
        if (a[4] == "RC_0") {
            saw_module_fault = true;
            EXPECT_EQ(a[2], std::to_string(module_fault_lasted));
            EXPECT_LT(a[0], a[1]);
        }
        if (a[3] == "11" && a[1].empty()) saw_low_phase = true;  // still active: no end
    }
    EXPECT_TRUE(saw_module_fault);
    EXPECT_TRUE(saw_low_phase);
    EXPECT_TRUE(std::is_sorted(starts.rbegin(), starts.rend()));  // the newest first

    // JSON: the same row as one object, times as text, nothing of the event form's "started".
    const Output json = run({"alarms", "--log", "--data-id", "1", "--format", "json"});
    ASSERT_EQ(json.lines.size(), 1u) << testing::PrintToString(json.lines);
    const Json::Value fault = parse_json(json.lines[0]);
    EXPECT_EQ(fault["rule_id"].asString(), "RC_0");
    EXPECT_EQ(fault["duration_s"].asInt64(), module_fault_lasted);
    EXPECT_FALSE(fault["active"].asBool());
    EXPECT_LT(fault["start"].asString(), fault["end"].asString());
    EXPECT_FALSE(fault.isMember("started"));

    const Output only_rc = run({"alarms", "--log", "--data-id", "1"});
    ASSERT_EQ(only_rc.lines.size(), 2u) << testing::PrintToString(only_rc.lines);
    EXPECT_NE(only_rc.lines[1].find(std::to_string(module_fault_lasted) + "s  "), std::string::npos)
        << only_rc.lines[1];
    // A window after the module fault ended: only what is still active. (Before
    // 2038: 32-bit ARM keeps time in a 32-bit time_t.)
    const Output later = run({"alarms", "--log", "--since", "2037-12-31", "--format", "csv"});
    ASSERT_GE(later.lines.size(), 2u);
    for (size_t i = 1; i < later.lines.size(); ++i) EXPECT_EQ(split(later.lines[i])[1], "") << later.lines[i];
    EXPECT_EQ(run({"alarms", "--log", "--data-id", "999"}).lines, std::vector<std::string>{"no alarms"});
    // Without --log: the active alarms only, as before.
    const Output active = run({"alarms"});
    ASSERT_FALSE(active.lines.empty());
    for (const auto& line : active.lines) EXPECT_EQ(line.find("RC_0"), std::string::npos) << line;
}

TEST(HistoryReadingArguments, BadArgumentsAreUsageErrorsBeforeTheDatabaseIsOpened) {
    const std::string missing = (fs::path(testing::TempDir()) / "voka-reading-never-made.db").string();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"history", "1", "--since", "yesterday"}, "--since takes an ISO 8601 time"},
        {{"history", "1", "--until", "2026-02-30"}, "--until takes an ISO 8601 time"},
        {{"history", "1", "--format", "xml"}, "--format must be text, json or csv, not \"xml\""},
        {{"history", "1", "--limit", "0"}, "--limit must be from 1"},
        {{"alarms", "--since", "2h"}, "--since requires --log"},
        {{"alarms", "--log", "--since", "2x"}, "--since takes an ISO 8601 time"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--db", missing});
        ChildProcess p(VOKA_HOST_PATH, args);
        p.remaining_lines();
        EXPECT_EQ(p.exit_status(), 2) << testing::PrintToString(c.args);
        EXPECT_NE(p.errors().find(c.message), std::string::npos) << p.errors();
        EXPECT_FALSE(fs::exists(missing));
    }
}

}  // namespace
