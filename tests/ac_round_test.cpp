// The end of an AC round: what the host receives (image, conditions, work
// item, history), in which order and with which arguments.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/ac/voka_ac.h"
#include "tests/support/ac_image.h"
#include "tests/support/recording_controller.h"

namespace {

struct AcRig {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VOKA_AC> dev = std::make_shared<VOKA_AC>();
    AcRig() {
        dev->controller = controller;
        dev->InitV(nullptr, 4242, Json::Value());
    }
    void load(const std::vector<uint8_t>& image) {
        ASSERT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    }
    std::vector<rule_value> round() {
        const size_t before = controller->thresholds().size();
        dev->RoundDone();
        std::vector<rule_value> rules;
        const auto all = controller->thresholds();
        for (size_t i = before; i < all.size(); ++i) rules.push_back(all[i].rule);
        return rules;
    }
};

std::vector<std::string> holding(const std::vector<rule_value>& rules) {
    std::vector<std::string> ids;
    for (const auto& r : rules)
        if (r.holds) ids.push_back(r.rule_id);
    return ids;
}

}  // namespace

TEST(AcRound, OneChannelReportsTwentyConditionsInOrder) {
    AcRig rig;
    rig.load(make_ac_image(4242, 0, 0, {{}}));
    const auto rules = rig.round();
    ASSERT_EQ(rules.size(), 20u);
    const std::vector<std::string> ids = {"AC_0",  "AC_1",  "AC_2",  "AC_3",  "AC_4",  "AC_5",  "AC_6",
                                          "AC_7",  "AC_8",  "AC_9",  "AC_10", "AC_12", "AC_13", "AC_14",
                                          "AC_15", "AC_16", "AC_17", "AC_18", "AC_19", "AC_20"};
    const std::vector<int> grades = {3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    const std::vector<std::string> codes = {"06015", "06015", "06015", "06019", "06014", "06014", "06014",
                                            "06018", "06017", "06017", "06017", "06029", "06029", "06029",
                                            "06029", "06029", "06029", "06029", "06029", "06029"};
    for (size_t i = 0; i < rules.size(); ++i) {
        EXPECT_EQ(rules[i].rule_id, ids[i]);
        EXPECT_EQ(rules[i].grade, grades[i]) << ids[i];
        EXPECT_EQ(rules[i].alarm_code, codes[i]) << ids[i];
        EXPECT_EQ(rules[i].seq, i + 1) << ids[i];
        EXPECT_EQ(rules[i].holds, 0u) << ids[i];
        EXPECT_EQ(rules[i].data_id, 4242u);
    }
    EXPECT_EQ(rules[0].alarm_name, "交流输入电压过低告警");
    EXPECT_EQ(rules[0].text, "交流屏1输入线/相电压AB/A");
    EXPECT_EQ(rules[3].alarm_name, "交流输入频率过低告警");
    EXPECT_EQ(rules[3].text, "交流屏1频率");
    EXPECT_EQ(rules[7].alarm_name, "交流输入频率过高告警");
    EXPECT_EQ(rules[8].alarm_name, "交流输入缺相告警");
    EXPECT_EQ(rules[10].text, "交流屏1输入线/相电压CA/C");
    EXPECT_EQ(rules[11].alarm_name, "A相输入电流低于下限");
    EXPECT_EQ(rules[11].text, "其他告警");
    EXPECT_EQ(rules[16].alarm_name, "C相输入电流高于上限");
    EXPECT_EQ(rules[19].alarm_name, "C相输入电流缺项");
}

TEST(AcRound, NumbersConditionsAcrossChannels) {
    struct Case { size_t channels; size_t calls; uint16_t ac12_seq; int image_size; };
    for (const Case& c : std::vector<Case>{{0, 9, 1, 30}, {1, 20, 12, 62}, {2, 31, 23, 94}}) {
        AcRig rig;
        if (c.channels) rig.load(make_ac_image(4242, 0, 0, std::vector<AcChannelValues>(c.channels)));
        const auto rules = rig.round();
        ASSERT_EQ(rules.size(), c.calls) << c.channels;
        EXPECT_EQ(rules[11 * c.channels].rule_id, "AC_12");
        EXPECT_EQ(rules[11 * c.channels].seq, c.ac12_seq);
        if (c.channels == 2) {
            EXPECT_EQ(rules[11].text, "交流屏2输入线/相电压AB/A");
        }
        const auto published = rig.controller->published();
        ASSERT_EQ(published.size(), 1u);
        EXPECT_EQ(published[0].type, 5188);
        EXPECT_EQ(published[0].image.size(), static_cast<size_t>(c.image_size));
        EXPECT_FALSE(published[0].flag);
        uint32_t id = 0;
        std::memcpy(&id, published[0].image.data(), 4);
        EXPECT_EQ(id, 4242u);
    }
}

TEST(AcRound, EachAlarmByteValueMakesExactlyItsRuleHold) {
    struct Case { AcChannelValues ch; uint8_t ia, ib, ic; std::vector<std::string> hold; };
    const std::vector<Case> cases = {
        {{.a_alert = 1}, 0, 0, 0, {"AC_0"}},
        {{.b_alert = 1}, 0, 0, 0, {"AC_1"}},
        {{.c_alert = 1}, 0, 0, 0, {"AC_2"}},
        {{.f_alert = 1}, 0, 0, 0, {"AC_3"}},
        {{.a_alert = 2}, 0, 0, 0, {"AC_4"}},
        {{.c_alert = 2}, 0, 0, 0, {"AC_6"}},
        {{.f_alert = 2}, 0, 0, 0, {"AC_7"}},
        {{.a_alert = 3}, 0, 0, 0, {"AC_8"}},
        {{.c_alert = 3}, 0, 0, 0, {"AC_10"}},
        {{.f_alert = 3}, 0, 0, 0, {}},            // no phase-loss rule for the frequency
        {{.a_alert = 4, .b_alert = 0xFF}, 0, 0, 0, {}},
        {{}, 1, 2, 3, {"AC_12", "AC_16", "AC_20"}},
        {{}, 3, 0, 0, {"AC_18"}},
        {{}, 2, 2, 2, {"AC_15", "AC_16", "AC_17"}},
        {{}, 4, 9, 0, {}},
    };
    for (const auto& c : cases) {
        AcRig rig;
        rig.load(make_ac_image(4242, 0, c.ia, {c.ch}, c.ib, c.ic));
        EXPECT_EQ(holding(rig.round()), c.hold);
    }
}

TEST(AcRound, SecondChannelsHighVoltageHoldsWithItsSequenceNumber) {
    AcRig rig;
    rig.load(make_ac_image(4242, 0, 0, {{}, {.c_alert = 2}}));
    const auto rules = rig.round();
    EXPECT_EQ(rules[17].rule_id, "AC_6");
    EXPECT_EQ(rules[17].seq, 18u);
    EXPECT_EQ(rules[17].holds, 1u);
    EXPECT_EQ(rules[17].text, "交流屏2输入线/相电压CA/C");
    EXPECT_EQ(rules[16].holds, 0u);
}

TEST(AcRound, WorkItemJudgesRulesStoresTheImageAndKeepsRulesCapacity) {
    AcRig rig;
    rig.load(make_ac_image(4242, 0, 0, {{}}));
    rig.controller->rules_result = true;
    rig.round();
    EXPECT_TRUE(rig.dev->rules.empty());
    EXPECT_GE(rig.dev->rules.capacity(), 20u);
    EXPECT_FALSE(rig.dev->alarm_active);  // not before the host runs the item
    EXPECT_EQ(rig.controller->run_held_work(), 1u);
    EXPECT_TRUE(rig.dev->alarm_active);
    const auto evaluated = rig.controller->evaluated();
    ASSERT_EQ(evaluated.size(), 1u);
    EXPECT_EQ(evaluated[0].size(), 20u);
    EXPECT_EQ(rig.controller->saved().at(0).image, rig.controller->published().at(0).image);

    rig.controller->rules_result = false;  // an active alarm stays active
    rig.round();
    rig.controller->run_held_work();
    EXPECT_TRUE(rig.dev->alarm_active);
}

TEST(AcRound, HeldWorkItemsStoreTheImageOfTheirOwnRound) {
    AcRig rig;
    rig.load(make_ac_image(4242, 1.0f, 0, {{.a = 100}}));
    rig.round();
    rig.load(make_ac_image(4242, 2.0f, 0, {{.a = 200}, {.a = 201}}));  // a different count, too
    rig.round();
    const uint8_t no_channels[] = {0x00, 0x00, 0x1E, 0x00, 0x1E, 0x00, 0x1E};  // the list empties: 3.0 A each
    ASSERT_EQ(rig.dev->parse40_41(no_channels, sizeof no_channels), 7);
    rig.round();
    ASSERT_EQ(rig.controller->held_work(), 3u);
    rig.load(make_ac_image(4242, 9.0f, 0, {{.a = 900}}));  // changes after the rounds must not leak in
    rig.controller->run_held_work();
    const auto saved = rig.controller->saved();
    const auto published = rig.controller->published();
    ASSERT_EQ(saved.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(saved[i].image, published[i].image) << i;
    EXPECT_EQ(saved[0].image.size(), 62u);
    EXPECT_EQ(saved[1].image.size(), 94u);
    EXPECT_EQ(saved[2].image.size(), 30u);
    float ia = 0;
    std::memcpy(&ia, saved[1].image.data() + 4, 4);
    EXPECT_EQ(ia, 2.0f);
    EXPECT_EQ(rig.controller->evaluated()[1].size(), 31u);
}

TEST(AcRound, FirstRoundMakesDataValidAndStampsTheRecord) {
    AcRig rig;
    EXPECT_FALSE(rig.dev->data_valid);
    const auto before = boost::posix_time::second_clock::local_time();
    rig.round();
    EXPECT_TRUE(rig.dev->data_valid);
    EXPECT_GE(rig.dev->last_update, before);
    const auto image = rig.controller->published().at(0).image;
    const ttime_bytes stamp = get_ttime(rig.dev->last_update);
    // The stamp is read from the clock a moment after last_update: same day at least.
    EXPECT_EQ(image[23], stamp[0]);
    EXPECT_EQ(image[24], stamp[1]);
    EXPECT_EQ(image[25], stamp[2]);
    EXPECT_EQ(rig.dev->Get_Value(0, "ia"), 0.0f);
}

TEST(AcRound, ChangeIndicationFollowsTheConfiguredSteps) {
    struct Case { float ia_then, ia_now, a_then, a_now; bool changed; };
    const std::vector<Case> cases = {
        {10, 10, 230, 230, false},
        {10, 29.9f, 230, 230, false},
        {10, 30, 230, 230, true},   // diff_i 20: a step of 20 counts
        {10, -10, 230, 230, true},
        {10, 10, 230, 249, false},
        {10, 10, 230, 250, true},   // diff_v 20
        {10, 10, 230, 210, true},
    };
    for (const auto& c : cases) {
        AcRig rig;
        rig.load(make_ac_image(4242, c.ia_then, 0, {{.a = c.a_then}}));
        rig.round();
        EXPECT_TRUE(rig.dev->last_round_changed());  // the first round after a reload has nothing to compare
        rig.load(make_ac_image(4242, c.ia_now, 0, {{.a = c.a_now}}));
        rig.round();
        EXPECT_EQ(rig.dev->last_round_changed(), c.changed) << c.ia_now << " " << c.a_now;
    }
}

TEST(AcRound, DeviceNotOwnedBySharedPointerHandsOverNothing) {
    auto controller = std::make_shared<RecordingController>();
    VOKA_AC dev;
    dev.controller = controller;
    dev.RoundDone();
    EXPECT_EQ(controller->held_work(), 0u);
    EXPECT_EQ(controller->published().size(), 1u);
    EXPECT_TRUE(dev.rules.empty());
}
