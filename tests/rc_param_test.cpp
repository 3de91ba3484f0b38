// System parameter answers the rectifier device keeps: five AC distribution
// parameters (0x40 0x46) and two DC distribution parameters with the block of
// user-defined parameters (0x42 0x46), in both wire forms.
#include <numeric>

#include <gtest/gtest.h>

#include "tests/support/rc_device.h"

namespace {

const auto no_param_setup = [](auto&) {};

std::vector<uint8_t> ac_params(uint8_t p) {
    return cat({le16(535), le16(2200), le16(0), le16(65535), le16(1), {p}});
}

std::vector<uint8_t> user_block(size_t n) {
    std::vector<uint8_t> b(n);
    std::iota(b.begin(), b.end(), uint8_t{1});
    return b;
}

std::vector<float> ac_of(const auto& rec) {
    return {rec.ac_param[0], rec.ac_param[1], rec.ac_param[2], rec.ac_param[3], rec.ac_param[4]};
}
std::vector<uint8_t> p46_of(const auto& rec) { return {rec.p46, rec.p46 + sizeof rec.p46}; }

}  // namespace

TEST(RcAcParams, VokaFormReadsTenthsLowByteFirst) {
    RcRig<VOKA_RC> rig;
    EXPECT_EQ(rig.parse(&VOKA_RC::parse40_46, ac_params(0)), 11);
    EXPECT_EQ(ac_of(rig.dev->record()), (std::vector<float>{53.5f, 220.0f, 0.0f, 6553.5f, 0.1f}));
    EXPECT_TRUE(rig.texts().empty());
}

TEST(RcAcParams, UserCountGivesTheLengthToStepOverUnread) {
    // Only the 11 bytes are there: the announced values lie beyond the answer.
    const std::vector<std::pair<uint8_t, int>> cases = {{1, 13}, {2, 15}, {255, 521}};
    for (const auto& [p, want] : cases) {
        RcRig<VOKA_RC> rig;
        EXPECT_EQ(rig.parse(&VOKA_RC::parse40_46, ac_params(p)), want);
        EXPECT_EQ(rig.dev->record().ac_param[0], 53.5f);
    }
    RcRig<OtherRC> other;
    EXPECT_EQ(other.parse(&OtherRC::parse40_46, cat({f32(1), f32(2), f32(3), f32(4), f32(5), {3}})), 33);
    EXPECT_EQ(ac_of(other.dev->record()), (std::vector<float>{1, 2, 3, 4, 5}));
}

TEST(RcAcParams, ShortAnswerIsRefusedBeforeAnyValueIsTaken) {
    expect_every_cut_refused<VOKA_RC>(&VOKA_RC::parse40_46, ac_params(0), {11}, no_param_setup,
                                      [](size_t, size_t) { return std::vector<int>{9}; });
    expect_every_cut_refused<RcBase>(&RcBase::parse40_46, cat({f32(1), f32(2), f32(3), f32(4), f32(5), {0}}), {21},
                                     no_param_setup, [](size_t, size_t) { return std::vector<int>{9}; });
    // Even with a user count in byte 10, ten bytes are too few.
    for (uint8_t p : {0, 2}) {
        RcRig<VOKA_RC> rig;
        EXPECT_EQ(rig.parse(&VOKA_RC::parse40_46, ac_params(p), 10), -1);
        EXPECT_EQ(rig.last_text(), "PMBusPowerAC:ProcotolError 7 read 40_46 read overflow 11 - 10");
        EXPECT_EQ(ac_of(rig.dev->record()), std::vector<float>(5, 0.0f));
    }
}

TEST(RcDcParams, VokaFormTakesTheWholeUserBlock) {
    RcRig<VOKA_RC> rig;
    ASSERT_EQ(rig.parse(&VOKA_RC::parse42_46, cat({be16(535), be16(12), {51}, user_block(102)})), 107);
    const auto& rec = rig.dev->record();
    EXPECT_EQ(rec.dc_param[0], 53.5f);
    EXPECT_EQ(rec.dc_param[1], 1.2f);
    EXPECT_EQ(rec.p46_count, 51);
    EXPECT_EQ(p46_of(rec), user_block(102));
    EXPECT_TRUE(rig.texts().empty());

    // One byte short of the block: refused, the block as it was.
    RcRig<VOKA_RC> short_block;
    EXPECT_EQ(short_block.parse(&VOKA_RC::parse42_46, cat({be16(535), be16(12), {51}, user_block(101)})), -1);
    EXPECT_EQ(short_block.last_text(), "PMBusPowerAC:ProcotolError 7 read 42_46 read overflow 107 - 106");
    EXPECT_EQ(short_block.dev->record().dc_param[0], 53.5f);
    EXPECT_EQ(p46_of(short_block.dev->record()), std::vector<uint8_t>(102, 0));
}

TEST(RcDcParams, WrongUserCountIsLoggedAndGivesTheLengthToStepOver) {
    const std::vector<std::pair<uint8_t, int>> cases = {{50, 105}, {0, 5}, {52, 109}, {255, 515}};
    for (const auto& [p, want] : cases) {
        RcRig<VOKA_RC> rig;
        EXPECT_EQ(rig.parse(&VOKA_RC::parse42_46, cat({be16(535), be16(12), {p}})), want);
        EXPECT_EQ(rig.dev->record().p46_count, p);
        EXPECT_EQ(p46_of(rig.dev->record()), std::vector<uint8_t>(102, 0));
        EXPECT_EQ(rig.last_text(), "RQX24B:ProcotolError parse42_46 7 p:" + std::to_string(p) + " != 51");
    }
}

TEST(RcDcParams, BaseFormTakesAsMuchOfTheBlockAsIsThere) {
    // Other sizes: three user-defined parameters in an 8-byte block.
    const auto answer = cat({f32(1.5f), f32(2.5f), {3}, user_block(12)});
    const std::vector<std::pair<int, int>> cases = {{9, 9}, {14, 14}, {17, 17}, {21, 17}};
    for (const auto& [len, want] : cases) {
        RcRig<OtherRC> rig;
        EXPECT_EQ(rig.parse(&OtherRC::parse42_46, answer, len), want) << len;
        auto expected = user_block(static_cast<size_t>(want - 9));
        expected.resize(8, 0);
        EXPECT_EQ(p46_of(rig.dev->record()), expected) << len;
        EXPECT_EQ(rig.dev->record().dc_param[1], 2.5f);
        EXPECT_TRUE(rig.texts().empty());
    }
    RcRig<OtherRC> wrong;
    EXPECT_EQ(wrong.parse(&OtherRC::parse42_46, cat({f32(1.5f), f32(2.5f), {2}})), 17);
    EXPECT_EQ(wrong.last_text(), "RQX24B:ProcotolError parse42_46 7 p:2 != 3");
}

TEST(RcDcParams, EveryCutIsRefusedWithTheOverflowMessage) {
    expect_every_cut_refused<VOKA_RC>(&VOKA_RC::parse42_46, cat({be16(535), be16(12), {51}, user_block(102)}),
                                      {5, 107}, no_param_setup, [](size_t, size_t) { return std::vector<int>{11}; });
    expect_every_cut_refused<OtherRC>(&OtherRC::parse42_46, cat({f32(1.5f), f32(2.5f), {3}}), {9}, no_param_setup,
                                      [](size_t, size_t) { return std::vector<int>{11}; });
    RcRig<VOKA_RC> rig;
    EXPECT_EQ(rig.dev->parse42_46(nullptr, -3), -1);
    EXPECT_EQ(rig.last_text(), rc_text(11, 5, -3));
}
