// Rectifier status (0x41 0x43) and alarm (0x41 0x44) answers: per module
// state bytes and fault state, for the first M modules of those known.
#include <gtest/gtest.h>

#include "tests/support/rc_device.h"

namespace {

// Gives the device `n` modules through an accepted analog answer.
template <class Device>
void with_modules(RcRig<Device>& rig, uint8_t n) {
    constexpr size_t w = std::is_same_v<Device, VOKA_RC> ? 2 : 4;
    constexpr size_t user = Device::kChannelBytes == 16 ? 1 : 2;
    std::vector<uint8_t> answer(1 + w, 0);
    answer.push_back(n);
    for (uint8_t i = 0; i < n; ++i) {
        answer.insert(answer.end(), w, 0);
        answer.push_back(static_cast<uint8_t>(user));
        answer.insert(answer.end(), w * user, 1);
    }
    ASSERT_EQ(rig.parse(&Device::parse41_41, answer), static_cast<int>(answer.size()));
}

const auto three_modules = [](auto& rig) { with_modules(rig, 3); };

// The bytes of module entry i, to show what an answer left alone.
template <class Device>
std::vector<uint8_t> entry(const RcRig<Device>& rig, size_t i) {
    const auto* b = reinterpret_cast<const uint8_t*>(&rig.dev->modules()[i]);
    return {b, b + Device::kChannelBytes};
}

}  // namespace

TEST(RcStatus, FillsTheFirstMModulesOnly) {
    RcRig<VOKA_RC> rig;
    with_modules(rig, 3);
    const auto e1 = entry(rig, 1), e2 = entry(rig, 2);
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_43, {0, 1, 0xA, 0xB, 0xC, 1, 0x5}), 7);
    const auto& m0 = rig.dev->modules()[0];
    EXPECT_EQ(std::vector<uint8_t>(m0.status, m0.status + 3), (std::vector<uint8_t>{0xA, 0xB, 0xC}));
    EXPECT_EQ(m0.p43_count, 1);
    EXPECT_EQ(m0.p43[0], 0x5);
    EXPECT_EQ(entry(rig, 1), e1);
    EXPECT_EQ(entry(rig, 2), e2);
    EXPECT_EQ(rig.parse(&VOKA_RC::parse41_43, {0, 0}), 2);
    EXPECT_TRUE(rig.texts().empty());
}

TEST(RcStatus, MoreModulesThanKnownIsRefusedSilently) {
    RcRig<VOKA_RC> none;
    EXPECT_EQ(none.parse(&VOKA_RC::parse41_43, {0, 1, 1, 2, 3, 1, 4}), -1);
    RcRig<VOKA_RC> rig;
    with_modules(rig, 3);
    const auto before = rig.state();
    EXPECT_EQ(rig.parse(&VOKA_RC::parse41_43, {0, 4}), -1);
    EXPECT_EQ(rig.state(), before);
    EXPECT_TRUE(rig.texts().empty());
    EXPECT_TRUE(none.texts().empty());
}

TEST(RcStatus, WrongUserCountIsLoggedAndSkipped) {
    RcRig<VOKA_RC> rig;
    with_modules(rig, 3);
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_43, {0, 2, 1, 2, 3, 3, 9, 9, 9, 4, 5, 6, 1, 7}), 14);
    EXPECT_EQ(rig.texts(), std::vector<std::string>{
                               "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_43 p is 3, not 1"});
    EXPECT_EQ(rig.dev->modules()[0].p43_count, 3);
    EXPECT_EQ(rig.dev->modules()[0].p43[0], 0);
    EXPECT_EQ(rig.dev->modules()[1].status[2], 6);
    EXPECT_EQ(rig.dev->modules()[1].p43[0], 7);

    // Other sizes: two user-defined state bytes are expected.
    RcRig<OtherRC> other;
    with_modules(other, 2);
    ASSERT_EQ(other.parse(&OtherRC::parse41_43, {0, 1, 1, 2, 3, 2, 0xAA, 0xBB}), 8);
    EXPECT_EQ(other.dev->modules()[0].p43[1], 0xBB);
    ASSERT_EQ(other.parse(&OtherRC::parse41_43, {0, 1, 1, 2, 3, 1, 0xCC}), 7);
    EXPECT_EQ(other.dev->modules()[0].p43[0], 0xAA);
    EXPECT_EQ(other.last_text(), "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_43 p is 1, not 2");
}

TEST(RcStatus, EveryCutIsRefusedWithTheOverflowMessage) {
    expect_every_cut_refused<VOKA_RC>(&VOKA_RC::parse41_43, {0, 2, 1, 2, 3, 1, 4, 5, 6, 7, 1, 8},
                                      {1, 2, 5, 6, 7, 10, 11, 12}, three_modules,
                                      [](size_t, size_t) { return std::vector<int>{5}; });
    for (int len : {0, -1}) {
        RcRig<VOKA_RC> rig;
        EXPECT_EQ(rig.dev->parse41_43(nullptr, len), -1);
        EXPECT_EQ(rig.last_text(), rc_text(5, 1, len));
    }
}

TEST(RcAlarm, StoresFaultStatesOfTheFirstMModules) {
    RcRig<VOKA_RC> rig;
    with_modules(rig, 3);
    const auto e2 = entry(rig, 2);
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_44, {0, 2, 1, 0, 2, 0}), 6);
    EXPECT_EQ(rig.dev->modules()[0].fault, 1);
    EXPECT_EQ(rig.dev->modules()[1].fault, 2);
    EXPECT_EQ(entry(rig, 2), e2);
    EXPECT_TRUE(rig.texts().empty());
}

TEST(RcAlarm, MoreModulesThanKnownIsLoggedAndConsumesNothing) {
    RcRig<VOKA_RC> rig;
    with_modules(rig, 3);
    const auto before = rig.state();
    EXPECT_EQ(rig.parse(&VOKA_RC::parse41_44, {0, 4, 1, 0, 1, 0, 1, 0, 1, 0}), 0);
    EXPECT_EQ(rig.state(), before);
    EXPECT_EQ(rig.texts(), std::vector<std::string>{"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 parse "
                                                    "p41_44 channel_count not equal 4 != 3 "});
}

TEST(RcAlarm, UserAlarmBytesAreSkippedNeverStored) {
    RcRig<VOKA_RC> rig;
    with_modules(rig, 2);
    ASSERT_EQ(rig.parse(&VOKA_RC::parse41_44, {0, 2, 1, 2, 9, 9, 1, 0}), 8);
    EXPECT_EQ(rig.texts(), std::vector<std::string>{
                               "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_44 p is 2, not 0"});
    EXPECT_EQ(rig.dev->modules()[0].p44_count, 2);
    EXPECT_EQ(rig.dev->modules()[1].fault, 1);

    // Other sizes expect one byte: no message, and the byte is still not kept.
    RcRig<OtherRC> other;
    with_modules(other, 1);
    ASSERT_EQ(other.parse(&OtherRC::parse41_44, {0, 1, 1, 1, 0x55}), 5);
    EXPECT_TRUE(other.texts().empty());
    EXPECT_EQ(other.dev->modules()[0].p44[0], 0);
}

TEST(RcAlarm, EveryCutIsRefusedWithTheOverflowMessage) {
    expect_every_cut_refused<VOKA_RC>(&VOKA_RC::parse41_44, {0, 2, 1, 2, 9, 9, 0, 0}, {1, 2, 3, 4, 6, 7, 8},
                                      three_modules, [](size_t cut, size_t) {
                                          return cut >= 4 ? std::vector<int>{7, 8} : std::vector<int>{8};
                                      });
    RcRig<VOKA_RC> rig;
    EXPECT_EQ(rig.dev->parse41_44(nullptr, 0), -1);
    EXPECT_EQ(rig.last_text(), rc_text(8, 1, 0));
}
