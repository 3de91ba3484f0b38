// The alarm engine: a condition that starts holding raises one alarm, one
// that stops clears it; instances of a rule are told apart by their texts,
// devices by their data ids. (Restored alarms: history_db_test.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_program/alarms/alarm_engine.h"

namespace {

rule_value condition(const std::string& id, const std::string& text, bool holds) {
    return rule_value{2, id, "06024", 0, holds ? 1u : 0u, "整流模块故障告警", text, 1};
}

std::string joined(const char* head, const std::string& tail) {
    std::string s(head);
    s.append(tail);
    return s;
}

struct Round {
    uint32_t data_id;
    std::vector<rule_value> rules;
    bool any_active;                    // what evaluate answers
    std::vector<std::string> changes;   // "+id/text" started, "-id/text" ended, in order
};

}  // namespace

TEST(AlarmEngine, StartsAndEndsAlarmsPerDeviceRuleAndText) {
    const std::string m1 = "模块1整流模块故障告警", m2 = "模块2整流模块故障告警";
    const std::vector<Round> rounds = {
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
