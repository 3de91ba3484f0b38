// A device's rules travel to the host in its round's work item: whatever
// order the host runs and drops items in, each item judges exactly the
// conditions of its own round.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/ac/voka_ac.h"
#include "tests/support/ac_image.h"
#include "tests/support/recording_controller.h"

namespace {

// What a condition says, for comparing a judged batch with what was reported.
std::vector<std::string> described(const std::vector<rule_value>& rules) {
    std::vector<std::string> out;
    for (const auto& r : rules) {
        out.push_back(r.rule_id);
        out.back().append("|").append(r.text).append("|").append(std::to_string(r.holds)).append("|").append(
            std::to_string(r.seq));
    }
    return out;
}

struct StorageStep {
    size_t channels;
    uint8_t first_alert;  // the first channel's A-phase state: 1 holds AC_0
    bool run_items_after;  // the host runs (and drops) every held item after this round
};

}  // namespace

TEST(RulesStorage, EveryItemJudgesItsOwnRoundWhateverTheHostsTiming) {
    const std::vector<std::vector<StorageStep>> cases = {
        {{1, 0, true}, {1, 1, true}, {1, 0, true}},                        // item done before each next round
        {{2, 1, false}, {2, 0, false}, {2, 1, true}, {2, 0, true}},        // several items waiting at once
        {{3, 0, true}, {1, 1, true}, {4, 0, false}, {2, 1, true}},         // the rule count changes
        {{1, 1, false}, {5, 0, true}, {5, 1, false}, {1, 0, false}, {1, 1, true}},
    };
    for (size_t n = 0; n < cases.size(); ++n) {
        auto controller = std::make_shared<RecordingController>();
        auto dev = std::make_shared<VOKA_AC>();
        dev->controller = controller;
        dev->InitV(nullptr, 7, Json::Value());
        std::vector<std::vector<std::string>> reported;
        for (const StorageStep& step : cases[n]) {
            std::vector<AcChannelValues> channels(step.channels);
            channels[0].a_alert = step.first_alert;
            const auto image = make_ac_image(7, 1, 0, channels);
            ASSERT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
            const size_t before = controller->thresholds().size();
            dev->RoundDone();
            std::vector<rule_value> round;
            for (const auto& t : controller->thresholds()) round.push_back(t.rule);
            round.erase(round.begin(), round.begin() + static_cast<std::ptrdiff_t>(before));
            reported.push_back(described(round));
            EXPECT_TRUE(dev->rules.empty()) << "case " << n;
            if (step.run_items_after) controller->run_held_work();
        }
        controller->run_held_work();
        const auto evaluated = controller->evaluated();
        ASSERT_EQ(evaluated.size(), reported.size()) << "case " << n;
        for (size_t i = 0; i < reported.size(); ++i) {
            EXPECT_EQ(evaluated[i].size(), 11 * cases[n][i].channels + 9) << "case " << n << " round " << i;
            EXPECT_EQ(described(evaluated[i]), reported[i]) << "case " << n << " round " << i;
        }
    }
}
