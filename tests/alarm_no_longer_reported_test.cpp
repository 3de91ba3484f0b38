// An alarm of a rectifier module that leaves the shelf at run time ends, said
// why, in the event stream, the database and `alarms --log`: module 3 is
// faulty in rounds 2 and 3 and gone from round 4. The two rounds that first
// see the new count are refused, so the line goes stale and the communication
// alarm (same data id) starts first; that report must leave the module's
// alarm standing, which ends only with the next complete round.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/end_to_end.h"

using namespace e2e;

TEST(AlarmNoLongerReported, AModuleThatLeavesEndsItsAlarmWithTheReason) {
    Workdir w;
    w.write("shrink.json", R"({"equipment": {"baud_rate": 115200},
        "changes": [{"from_round": 2, "until_round": 3, "set": {"modules[2].fault": 1}},
                    {"from_round": 4, "set": {"modules": [{}, {}]}}]})");
    const std::string site = w.write("site.json", R"({"power_systems": [{"name": "hall", "data_id": 1,
        "scenario": "shrink.json", "poll_interval_ms": 0, "answer_timeout_ms": 300, "baud_rate": 115200,
        "stale_after_rounds": 2, "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]})");
    const std::string db = w.path("h.db");
    ChildProcess host(VOKA_HOST_PATH, {site, "--json", "--rounds", "5", "--db", db});
    const auto all = events(host.remaining_lines());
    ASSERT_EQ(host.exit_status(), 0) << host.errors();

    const std::string module3 = "模块3整流模块故障告警";
    std::vector<std::string> changes;  // "start RULE", "end RULE[: reason]", in order
    for (const auto& a : of_kind(all, "alarm")) {
        std::string change = a["state"].asString() + " " + a["rule_id"].asString();
        if (a["rule_id"].asString() == "RC_0") {
            EXPECT_EQ(a["text"].asString(), module3);
        }
        if (a.isMember("end_reason")) change += ": " + a["end_reason"].asString();
        changes.push_back(change);
    }
    // The last complete round ends both, each on its own thread: in either order.
    ASSERT_EQ(changes.size(), 4u) << testing::PrintToString(changes);
    std::sort(changes.begin() + 2, changes.end());
    EXPECT_EQ(changes, (std::vector<std::string>{"start RC_0", "start COMM_0", "end COMM_0",
                                                 "end RC_0: no longer reported"}));

    ChildProcess text(VOKA_HOST_PATH, {"alarms", "--log", "--data-id", "1", "--db", db});
    const auto lines = text.remaining_lines();
    ASSERT_EQ(text.exit_status(), 0) << text.errors();
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return l.find(module3) != std::string::npos; });
    ASSERT_NE(line, lines.end()) << testing::PrintToString(lines);
    EXPECT_NE(line->find(module3 + "  (no longer reported)"), std::string::npos) << *line;
    ChildProcess csv(VOKA_HOST_PATH, {"alarms", "--log", "--data-id", "1", "--format", "csv", "--db", db});
    const auto rows = csv.remaining_lines();
    std::vector<std::string> reasons;  // the last column of each row, the newest first
    for (size_t i = 1; i < rows.size(); ++i) reasons.push_back(rows[i].substr(rows[i].rfind(',') + 1));
    EXPECT_EQ(reasons, (std::vector<std::string>{"", "no longer reported"})) << testing::PrintToString(rows);

    ChildProcess active(VOKA_HOST_PATH, {"alarms", "--db", db});
    EXPECT_EQ(active.remaining_lines(), std::vector<std::string>{"no active alarms"});
}
