// The end of a rectifier round: the image published and stored, one fault
// condition per module.
#include <gtest/gtest.h>

#include "tests/support/rc_device.h"

namespace {

std::vector<rule_value> round_of(RcRig<VOKA_RC>& rig) {
    const size_t before = rig.controller->thresholds().size();
    rig.dev->RoundDone();
    const auto all = rig.controller->thresholds();
    std::vector<rule_value> rules;
    for (size_t i = before; i < all.size(); ++i) rules.push_back(all[i].rule);
    return rules;
}

// A stored image of `faults.size()` modules with these fault bytes.
std::vector<uint8_t> image_with_faults(const std::vector<uint8_t>& faults) {
    auto image = voka_image(kRcTestId, static_cast<uint8_t>(faults.size()), faults.size());
    for (size_t i = 0; i < faults.size(); ++i)
        image[sizeof(tele_c_voka_rc) + i * sizeof(tele_c_voka_rc_channel) + offsetof(tele_c_voka_rc_channel, fault)] =
            faults[i];
    return image;
}

void load(RcRig<VOKA_RC>& rig, const std::vector<uint8_t>& image) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(rig.dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(RcRound, ReportsOneFaultConditionPerModule) {
    RcRig<VOKA_RC> rig;
    load(rig, image_with_faults({0, 1, 2}));
    const auto rules = round_of(rig);
    ASSERT_EQ(rules.size(), 3u);
    const std::vector<std::string> texts = {"模块1整流模块故障告警", "模块2整流模块故障告警", "模块3整流模块故障告警"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rules[i].rule_id, "RC_0");
        EXPECT_EQ(rules[i].grade, 2);
        EXPECT_EQ(rules[i].alarm_code, "06024");
        EXPECT_EQ(rules[i].alarm_name, "整流模块故障告警");
        EXPECT_EQ(rules[i].text, texts[i]);
        EXPECT_EQ(rules[i].holds, i == 1 ? 1u : 0u);
        EXPECT_EQ(rules[i].seq, i + 1);
    }
    const auto published = rig.controller->published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].type, 5190);
    EXPECT_EQ(published[0].image.size(), 195u);
    rig.controller->run_held_work();
    EXPECT_EQ(rig.controller->saved().at(0).image, published[0].image);
}

TEST(RcRound, WithoutModulesPublishesTheRecordAndStillHandsOverWork) {
    RcRig<VOKA_RC> rig;
    EXPECT_TRUE(round_of(rig).empty());
    EXPECT_TRUE(rig.dev->data_valid);
    EXPECT_EQ(rig.controller->published().at(0).image.size(), 147u);
    EXPECT_EQ(rig.controller->held_work(), 1u);
}

TEST(RcRound, ImageFollowsTheModuleCountAndItemsKeepTheirRound) {
    RcRig<VOKA_RC> rig;
    round_of(rig);                         // first round: no modules yet
    load(rig, image_with_faults({1, 1}));  // then two
    round_of(rig);
    load(rig, image_with_faults({0}));
    round_of(rig);
    rig.controller->rules_result = true;
    EXPECT_EQ(rig.controller->run_held_work(), 3u);
    EXPECT_TRUE(rig.dev->alarm_active);
    const auto saved = rig.controller->saved();
    const auto published = rig.controller->published();
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved[0].image.size(), 147u);
    EXPECT_EQ(saved[1].image.size(), 179u);
    EXPECT_EQ(saved[2].image.size(), 163u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(saved[i].image, published[i].image);
    EXPECT_EQ(rig.controller->evaluated()[1].size(), 2u);
}
