// Rectifier analog answers (0x41 0x42): output voltage, module count, and per
// module its current and user-defined values, in both wire forms; and how the
// module count is first taken, replaced while provisional, then held.
#include <gtest/gtest.h>

#include "tests/support/rc_device.h"

namespace {

using Voka = RcRig<VOKA_RC>;

// A VOKA analog answer announcing `m` modules, with `present` of them complete.
std::vector<uint8_t> analog(uint8_t m, size_t present, uint16_t volts = 535) {
    auto out = cat({{0x00}, be16(volts), {m}});
    for (size_t i = 0; i < present; ++i) out = cat({out, be16(static_cast<uint16_t>(100 + i)), {1}, be16(0x0212)});
    return out;
}

std::vector<uint8_t> stored(uint8_t count) { return voka_image(1, count, count); }

const auto no_setup = [](auto&) {};

}  // namespace

TEST(RcAnalog, VokaFormDecodesTenthsAndUserValueMarker) {
    Voka rig;
    const auto payload = cat({{0x00}, be16(0x0217), {2}, be16(123), {1}, be16(0x0212), be16(100), {1}, {0x12, 0x12}});
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_41, payload), 14);
    const auto& rec = rig.dev->record();
    EXPECT_EQ(rec.output_voltage, 53.5f);
    EXPECT_EQ(rec.channel_count, 2);
    ASSERT_EQ(rig.dev->modules().size(), 2u);
    EXPECT_EQ(rig.dev->modules()[0].current, 12.3f);
    EXPECT_EQ(rig.dev->modules()[0].p41_count, 1);
    EXPECT_EQ(rig.dev->modules()[0].p41[0], 53.0f);
    EXPECT_EQ(rig.dev->modules()[1].current, 10.0f);
    EXPECT_EQ(rig.dev->modules()[1].p41[0], 0.0f);
    EXPECT_TRUE(rig.dev->channel_count_fixed());
    EXPECT_TRUE(rig.texts().empty());
    // The values sit where the image puts them.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&rec);
    EXPECT_EQ(std::vector<uint8_t>(bytes + 135, bytes + 139), f32(53.5f));
    EXPECT_EQ(bytes[139], 2);

    // Any value whose two bytes are equal is missing, zero included; others are tenths.
    const std::vector<std::pair<uint16_t, float>> user_values = {
        {0x0212, 53.0f}, {0x1212, 0.0f}, {0x0000, 0.0f}, {0xFFFF, 0.0f}, {0x0102, 25.8f}, {0x0001, 0.1f}};
    for (const auto& [raw, want] : user_values) {
        Voka one;
        ASSERT_EQ(one.parse(&VOKA_RC::parse41_41, cat({{0}, be16(0), {1}, be16(0), {1}, be16(raw)})), 9);
        EXPECT_EQ(one.dev->modules()[0].p41[0], want) << std::hex << raw;
    }
}

TEST(RcAnalog, WrongUserCountIsLoggedSkippedAndParsingGoesOn) {
    Voka rig;
    const auto payload = cat({{0}, be16(480), {2}, be16(50), {2}, {9, 9, 9, 9}, be16(60), {1}, be16(7)});
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_41, payload), 16);
    EXPECT_EQ(rig.texts(), std::vector<std::string>{
                               "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_41 p is 2 not 1"});
    EXPECT_EQ(rig.dev->modules()[0].current, 5.0f);
    EXPECT_EQ(rig.dev->modules()[0].p41_count, 2);
    EXPECT_EQ(rig.dev->modules()[0].p41[0], 0.0f);  // skipped, not stored
    EXPECT_EQ(rig.dev->modules()[1].current, 6.0f);
    EXPECT_EQ(rig.dev->modules()[1].p41[0], 0.7f);
}

TEST(RcAnalog, BaseFormReadsFloatsForAnySizes) {
    RcRig<RcBase> voka_sizes;
    ASSERT_EQ(voka_sizes.parse(&RcBase::parse41_41, cat({{0}, f32(53.5f), {1}, f32(12.5f), {1}, {0, 0, 0, 0}})), 15);
    EXPECT_EQ(voka_sizes.dev->record().output_voltage, 53.5f);
    EXPECT_EQ(voka_sizes.dev->modules()[0].current, 12.5f);
    EXPECT_EQ(voka_sizes.dev->modules()[0].p41[0], 0.0f);

    RcRig<OtherRC> other;
    const auto payload = cat({{0}, f32(52.0f), {2}, f32(3.5f), {2}, f32(1.25f), {7, 7, 7, 7}, f32(4.5f), {1},
                              f32(9.0f)});
    ASSERT_EQ(other.parse(&OtherRC::parse41_41, payload), 1 + 4 + 1 + (4 + 1 + 8) + (4 + 1 + 4));
    EXPECT_EQ(other.texts(), std::vector<std::string>{
                                 "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_41 p is 1 not 2"});
    const auto& m = other.dev->modules();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].p41[0], 1.25f);
    EXPECT_EQ(m[0].p41[1], 0.0f);  // four equal bytes: missing
    EXPECT_EQ(m[1].current, 4.5f);
    EXPECT_EQ(m[1].p41_count, 1);
    EXPECT_EQ(m[1].p41[0], 0.0f);
}

TEST(RcAnalog, EveryCutIsRefusedWithTheMessageOfWhereItFell) {
    // Module 0 announces two user values, so its skipped bytes are cut into too.
    const auto voka = cat({{0}, be16(480), {2}, be16(50), {2}, {9, 9, 9, 9}, be16(60), {1}, be16(7)});
    expect_every_cut_refused<VOKA_RC>(&VOKA_RC::parse41_41, voka, {1, 3, 4, 6, 7, 11, 13, 14, 16}, no_setup,
                                      [](size_t cut, size_t needed) {
                                          std::vector<int> want;
                                          if (cut >= 7) want.push_back(1);
                                          want.push_back(needed <= 4 ? 3 : 2);
                                          return want;
                                      });
    const auto other = cat({{0}, f32(52.0f), {1}, f32(3.5f), {2}, f32(1.25f), f32(2.5f)});
    expect_every_cut_refused<OtherRC>(&OtherRC::parse41_41, other, {1, 5, 6, 10, 11, 15, 19}, no_setup,
                                      [](size_t, size_t needed) { return std::vector<int>{needed <= 6 ? 3 : 2}; });

    // Nothing present at all: the DATAFLAG's byte is what is missing.
    for (int len : {0, -1, -2147483647 - 1}) {
        Voka rig;
        EXPECT_EQ(rig.dev->parse41_41(nullptr, len), -1);
        EXPECT_EQ(rig.last_text(), rc_text(3, 1, len));
    }
}

TEST(RcAnalog, AnotherCountOnceFixedChangesOnlyTheOutputVoltage) {
    Voka rig;
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_41, analog(3, 3)), 19);
    const auto before = rig.state();
    EXPECT_EQ(rig.parse(&VOKA_RC::parse41_41, analog(4, 4, 600)), -1);
    EXPECT_TRUE(rig.texts().empty());
    auto after = rig.state();
    EXPECT_EQ(rig.dev->record().output_voltage, 60.0f);
    std::copy_n(before.begin() + 135, 4, after.begin() + 135);
    EXPECT_EQ(after, before);
}

TEST(RcAnalog, ModuleCountIsProvisionalUntilALiveAnswerIsAccepted) {
    struct Step {
        std::vector<uint8_t> bytes;
        bool is_image;
        int result;  // for an image: 1 accepted, 0 refused
        uint8_t count;
        bool fixed;
    };
    struct Scenario {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Scenario> scenarios = {
        {"first answer fixes; another count is refused",
         {{analog(3, 3), false, 19, 3, true}, {analog(2, 2), false, -1, 3, true}, {analog(3, 3), false, 19, 3, true}}},
        {"no modules leaves the count open",
         {{analog(0, 0), false, 4, 0, false}, {analog(2, 2), false, 14, 2, true}}},
        {"a stored count gives way to the live one",
         {{stored(3), true, 1, 3, false}, {analog(2, 2), false, 14, 2, true}, {analog(3, 3), false, -1, 2, true}}},
        {"a stored image reopens a fixed count",
         {{analog(2, 2), false, 14, 2, true}, {stored(1), true, 1, 1, false}, {analog(2, 2), false, 14, 2, true}}},
        {"a refused answer leaves the count as it was",
         {{analog(2, 1), false, -1, 0, false},
          {analog(3, 3), false, 19, 3, true},
          {analog(3, 2), false, -1, 3, true},
          {analog(2, 2), false, -1, 3, true}}},
        {"a new count in three well-formed answers in a row replaces the fixed one",
         {{analog(3, 3), false, 19, 3, true},
          {analog(4, 4), false, -1, 3, true},
          {analog(4, 4), false, -1, 3, true},
          {analog(4, 4), false, 24, 4, true},
          {analog(3, 3), false, -1, 4, true}}},
        {"a damaged answer, another count or the fixed one breaks the run",
         {{analog(3, 3), false, 19, 3, true},
          {analog(4, 4), false, -1, 3, true},
          {analog(4, 3), false, -1, 3, true},
          {analog(4, 4), false, -1, 3, true},
          {analog(5, 5), false, -1, 3, true},
          {analog(4, 4), false, -1, 3, true},
          {analog(3, 3), false, 19, 3, true},
          {analog(4, 4), false, -1, 3, true},
          {analog(4, 4), false, -1, 3, true}}},
        {"no modules empties a provisional list", {{stored(3), true, 1, 3, false}, {analog(0, 0), false, 4, 0, false}}},
        {"a refused stored image changes no count",
         {{analog(2, 2), false, 14, 2, true}, {voka_image(1, 3, 2), true, 0, 2, true}}},
    };
    for (const auto& sc : scenarios) {
        Voka rig;
        for (size_t i = 0; i < sc.steps.size(); ++i) {
            const Step& s = sc.steps[i];
            testing::internal::CaptureStdout();
            const int got = s.is_image ? static_cast<int>(rig.dev->LoadFromCache(s.bytes.data(), static_cast<int>(s.bytes.size())))
                                       : rig.parse(&VOKA_RC::parse41_41, s.bytes);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(got, s.result) << sc.name << ", step " << i;
            EXPECT_EQ(rig.dev->record().channel_count, s.count) << sc.name << ", step " << i;
            EXPECT_EQ(rig.dev->modules().size(), s.count) << sc.name << ", step " << i;
            EXPECT_EQ(rig.dev->channel_count_fixed(), s.fixed) << sc.name << ", step " << i;
        }
    }
}

TEST(RcAnalog, ResizingAProvisionalListKeepsEntriesAndZeroFillsNewOnes) {
    Voka rig;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(rig.dev->LoadFromCache(stored(1).data(), 147 + 16));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_41, analog(3, 3)), 19);
    const auto& m = rig.dev->modules();
    EXPECT_EQ(m[0].fault, 1);  // from the stored image
    EXPECT_EQ(m[1].fault, 0);
    EXPECT_EQ(m[2].fault, 0);
    EXPECT_EQ(m[2].current, 10.2f);
}

// A shelf that gained a module: the refusals before the change say nothing,
// the change is logged once, and the next round's image covers the new module.
TEST(RcAnalog, ConfirmedNewModuleCountIsLoggedOnceAndResizesTheImage) {
    Voka rig;
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_41, analog(3, 3)), 19);
    for (int i = 0; i < 3; ++i) rig.parse(&VOKA_RC::parse41_41, analog(4, 4));
    EXPECT_EQ(rig.controller->log_texts(),
              std::vector<std::string>{"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_41 "
                                       "module count is now 4, was 3"});
    rig.dev->RoundDone();
    ASSERT_EQ(rig.controller->published().size(), 1u);
    EXPECT_EQ(rig.controller->published()[0].image.size(), 147u + 4 * 16);
    EXPECT_EQ(rig.dev->modules()[3].current, 10.3f);
}
