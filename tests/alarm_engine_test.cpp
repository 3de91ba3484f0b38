// The alarm engine: a condition that starts holding raises one alarm, one
// that stops clears it; instances of a rule are told apart by their texts,
// devices by their data ids. (Restored alarms: history_db_test.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/alarms/alarm_engine.h"

namespace {

rule_value condition(const std::string& id, const std::string& text, bool holds) {
    return rule_value{2, id, "06024", 0, holds ? 1u : 0u, "整流模块故障告警", text, 1};
}

std::string joined(const char* head, const std::string& tail) {
    std::string s(head);
    s.append(tail);
    return s;
}

struct EngineRound {
    uint32_t data_id;
    std::vector<rule_value> rules;
    bool any_active;                    // what evaluate answers
    std::vector<std::string> changes;   // "+id/text" started, "-id/text" ended, in order
};

}  // namespace

TEST(AlarmEngine, StartsAndEndsAlarmsPerDeviceRuleAndText) {
    const std::string m1 = "模块1整流模块故障告警", m2 = "模块2整流模块故障告警";
    const std::vector<EngineRound> rounds = {
        {5, {condition("RC_0", m1, false), condition("RC_0", m2, false)}, false, {}},
        {5, {condition("RC_0", m1, true), condition("RC_0", m2, false)}, true, {joined("+5/RC_0/", m1)}},
        {5, {condition("RC_0", m1, true), condition("RC_0", m2, true)}, true, {joined("+5/RC_0/", m2)}},
        // Same rule and text on other devices, on either side of 5: apart.
        {4, {condition("RC_0", m1, false)}, false, {}},
        {6, {condition("RC_0", m1, true)}, true, {joined("+6/RC_0/", m1)}},
        {5, {condition("RC_0", m1, false), condition("RC_0", m2, true)}, true, {joined("-5/RC_0/", m1)}},
        {5, {condition("RC_0", m1, false), condition("RC_0", m2, false)}, false, {joined("-5/RC_0/", m2)}},
        {6, {condition("RC_0", m1, true)}, true, {}},  // still holding: no second start
        {3, {}, false, {}},
        {6, {condition("RC_0", m1, false)}, false, {joined("-6/RC_0/", m1)}},
    };
    std::vector<std::string> seen;
    std::vector<Alarm> ended;
    AlarmEngine engine([&](const Alarm& a, bool started) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely on "x" + std::string.
        std::string change(started ? "+" : "-");
        change.append(std::to_string(a.data_id)).append("/").append(a.rule_id).append("/").append(a.text);
        seen.push_back(std::move(change));
        if (!started) ended.push_back(a);
    });
    int64_t now = 1000;
    for (size_t i = 0; i < rounds.size(); ++i, now += 10) {
        seen.clear();
        EXPECT_EQ(engine.evaluate(rounds[i].data_id, rounds[i].rules, now), rounds[i].any_active) << "round " << i;
        EXPECT_EQ(seen, rounds[i].changes) << "round " << i;
    }
    EXPECT_TRUE(engine.active().empty());
    ASSERT_EQ(ended.size(), 3u);
    EXPECT_EQ(ended[0].started, 1010);  // raised in round 1, cleared in round 5
    EXPECT_EQ(ended[0].ended, 1050);
    EXPECT_EQ(ended[0].grade, 2);
    EXPECT_EQ(ended[0].alarm_code, "06024");
    EXPECT_EQ(ended[0].alarm_name, "整流模块故障告警");
}

// A report names every condition of the rule families it names: an active
// alarm of the device left out of a family the report names (a module or
// channel the equipment no longer has) ends, said why; a family the report
// does not name (the communication alarm its power system raises under the
// same data id), another device, or a report with nothing in it ends nothing.
TEST(AlarmEngine, EndsAlarmsLeftOutOfTheFamiliesAReportNames) {
    const std::string m1 = "模块1", m2 = "模块2", m3 = "模块3";
    const std::vector<EngineRound> rounds = {
        {1, {condition("RC_0", m1, false), condition("RC_0", m2, false), condition("RC_0", m3, true)}, true,
         {"+1/RC_0/模块3"}},
        {1, {condition("COMM_0", "lost", true)}, true, {"+1/COMM_0/lost"}},
        {1, {}, true, {}},
        {2, {condition("RC_0", m1, false)}, false, {}},
        {1, {condition("RC_0", m1, false), condition("RC_0", m2, false)}, true,
         {"-1/RC_0/模块3: no longer reported"}},
        {1, {condition("COMM_0", "lost", false)}, false, {"-1/COMM_0/lost"}},
        {1, {condition("RC_0", m1, false), condition("RC_0", m2, false), condition("RC_0", m3, true)}, true,
         {"+1/RC_0/模块3"}},  // the module is back, still faulty: a new alarm
        // AC: channel rules and current rules are one family, so a channel that
        // goes ends its alarms even when no channel is left.
        {11, {condition("AC_0", "ch1", true), condition("AC_0", "ch2", true), condition("AC_18", "ia", false)},
         true, {"+11/AC_0/ch1", "+11/AC_0/ch2"}},
        {11, {condition("AC_0", "ch1", true), condition("AC_18", "ia", false)}, true,
         {"-11/AC_0/ch2: no longer reported"}},
        {11, {condition("AC_18", "ia", false)}, false, {"-11/AC_0/ch1: no longer reported"}},
    };
    std::vector<std::string> seen;
    AlarmEngine engine([&](const Alarm& a, bool started) {
        std::string change(started ? "+" : "-");
        change.append(std::to_string(a.data_id)).append("/").append(a.rule_id).append("/").append(a.text);
        if (!a.end_reason.empty()) change.append(": ").append(a.end_reason);
        EXPECT_EQ(a.ended, started ? 0 : 2000) << change;
        seen.push_back(std::move(change));
    });
    for (size_t i = 0; i < rounds.size(); ++i) {
        seen.clear();
        EXPECT_EQ(engine.evaluate(rounds[i].data_id, rounds[i].rules, 2000), rounds[i].any_active) << "round " << i;
        EXPECT_EQ(seen, rounds[i].changes) << "round " << i;
    }
    ASSERT_EQ(engine.active().size(), 1u);
    EXPECT_EQ(engine.active()[0].text, m3);
}
