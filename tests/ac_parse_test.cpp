#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/ac/voka_ac.h"
#include "tests/support/ac_image.h"
#include "tests/support/bytes.h"
#include "tests/support/parse_call.h"
#include "tests/support/recording_controller.h"

namespace {

// A device on the general templates: 4-byte float answers, two user-defined
// analog values per channel, two airlock bytes and one user status byte.
using WideHeader = tele_c_pmbuspower_ac<2, 1>;
using WideChannel = tele_c_pmbuspower_ac_channel<2, 10>;
struct FloatAc final : PMBusPowerAC<WideHeader, WideChannel, 5188> {
    void DoImpCheckAlert() override {}
};

using Bytes = std::vector<uint8_t>;

template <class Device>
struct Logged {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Device> dev = std::make_shared<Device>();
    Logged() {
        dev->controller = controller;
        dev->data_id = 77;
    }
    std::vector<std::string> logs() const { return controller->log_texts(); }
    int p41(const Bytes& b) { return call_exact([&](auto p, int n) { return dev->parse40_41(p, n); }, b); }
    int p41(const Bytes& b, size_t n) { return call_exact([&](auto p, int l) { return dev->parse40_41(p, l); }, b, n); }
    int p43(const Bytes& b, size_t n) { return call_exact([&](auto p, int l) { return dev->parse40_43(p, l); }, b, n); }
    int p43(const Bytes& b) { return p43(b, b.size()); }
    int p44(const Bytes& b, size_t n) { return call_exact([&](auto p, int l) { return dev->parse40_44(p, l); }, b, n); }
    int p44(const Bytes& b) { return p44(b, b.size()); }
};

// The worked example: one channel at 230 V / 50 Hz, currents 12.3 A, 12.4 A and missing.
const Bytes kOneChannel41 = {0x01, 0x00, 0xE6, 0x00, 0xE6, 0x00, 0xE6, 0x13, 0x88, 0x00,
                             0x00, 0x7B, 0x00, 0x7C, 0x20, 0x20};

Bytes two_channels41() {
    return {0x02, 0x00, 0xE6, 0x00, 0xE7, 0x00, 0xE8, 0x13, 0x88, 0x00,
            0x00, 0xDC, 0x00, 0xDD, 0x00, 0xDE, 0x13, 0x87, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
}

Bytes image_of(const VOKA_AC& dev) {
    Bytes s(sizeof(tele_c_voka_ac));
    std::memcpy(s.data(), &dev.header(), s.size());
    for (const auto& ch : dev.channels()) {
        const auto* b = reinterpret_cast<const uint8_t*>(&ch);
        s.insert(s.end(), b, b + sizeof ch);
    }
    return s;
}

}  // namespace

// ---- analog values, fixed-point form ----

TEST(AcParse40_41Fixed, DecodesTheWorkedExample) {
    Logged<VOKA_AC> t;
    EXPECT_EQ(t.p41(kOneChannel41), 16);
    const auto& ch = t.dev->channels().at(0);
    EXPECT_EQ(t.dev->header().channel_count, 1);
    EXPECT_EQ(ch.a, 230.0f);
    EXPECT_EQ(ch.b, 230.0f);
    EXPECT_EQ(ch.c, 230.0f);
    EXPECT_EQ(ch.f, 50.0f);
    EXPECT_EQ(t.dev->header().ia, 12.3f);
    EXPECT_EQ(t.dev->header().ib, 12.4f);
    EXPECT_EQ(std::bit_cast<uint32_t>(t.dev->header().ic), 0xBDCCCCCDu);
    EXPECT_TRUE(t.dev->channel_count_fixed());
    EXPECT_TRUE(t.logs().empty());
    EXPECT_FALSE(t.dev->data_valid);  // only the end of a round makes data valid
}

TEST(AcParse40_41Fixed, AppliesEachMissingValueRule) {
    struct Case { uint8_t hi, lo; float channel, current; };
    const std::vector<Case> cases = {
        {0x01, 0x01, 0.0f, -0.1f},   // 257 is the marker, not a value
        {0xFF, 0xFF, 0.0f, -0.1f},
        {0x00, 0x00, 0.0f, 0.0f},    // a real zero
        {0x01, 0x02, 258.0f, 25.8f},
        {0x02, 0x01, 513.0f, 51.3f},
    };
    for (const auto& c : cases) {
        Logged<VOKA_AC> t;
        const Bytes in = {0x01, c.hi, c.lo, 0, 0, 0, 0, 0, 0, 0x00, c.hi, c.lo, 0, 0, 0, 0};
        ASSERT_EQ(t.p41(in), 16);
        EXPECT_EQ(t.dev->channels()[0].a, c.channel) << int(c.hi) << "," << int(c.lo);
        EXPECT_FLOAT_EQ(t.dev->header().ia, c.current) << int(c.hi) << "," << int(c.lo);
    }
}

TEST(AcParse40_41Fixed, SkipsUserDefinedValuesSilently) {
    Logged<VOKA_AC> t;
    const Bytes in = {0x01, 0, 1, 0, 2, 0, 3, 0, 4, 0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0, 5, 0, 6, 0, 7};
    EXPECT_EQ(t.p41(in), 20);
    EXPECT_EQ(t.dev->channels()[0].p41_count, 2);
    EXPECT_EQ(t.dev->header().ia, 0.5f);
    EXPECT_TRUE(t.logs().empty());
}

TEST(AcParse40_41Fixed, RefusesAnotherCountOnceFixedAndChangesNothing) {
    Logged<VOKA_AC> t;
    ASSERT_EQ(t.p41(two_channels41()), 25);
    const Bytes before = image_of(*t.dev);
    Bytes three = two_channels41();
    three[0] = 3;
    EXPECT_EQ(t.p41(three), -1);
    EXPECT_EQ(image_of(*t.dev), before);
    EXPECT_TRUE(t.logs().empty());  // refused without a message
}

TEST(AcParse40_41Fixed, StoredCountIsProvisionalUntilAnAnswerIsAccepted) {
    Logged<VOKA_AC> t;
    const auto stored = make_ac_image(77, 1.0f, 0, {{.a = 1}, {.a = 2}, {.a = 3}});
    ASSERT_TRUE(t.dev->LoadFromCache(stored.data(), static_cast<int>(stored.size())));
    EXPECT_FALSE(t.dev->channel_count_fixed());
    // The equipment now has two channels: the answer re-sizes the list.
    EXPECT_EQ(t.p41(two_channels41()), 25);
    EXPECT_EQ(t.dev->channels().size(), 2u);
    EXPECT_EQ(t.dev->header().channel_count, 2);
    EXPECT_EQ(t.dev->channels()[1].a, 220.0f);
    EXPECT_TRUE(t.dev->channel_count_fixed());
    EXPECT_EQ(t.p41(kOneChannel41), -1);
}

TEST(AcParse40_41Fixed, RefusedFirstAnswerDoesNotLockItsCount) {
    Logged<VOKA_AC> t;
    Bytes wrong = two_channels41();
    EXPECT_EQ(t.p41(wrong, 10), -1);  // truncated: refused, and its count with it
    EXPECT_EQ(t.dev->channels().size(), 0u);
    EXPECT_FALSE(t.dev->channel_count_fixed());
    EXPECT_EQ(t.p41(kOneChannel41), 16);
    EXPECT_EQ(t.dev->channels().size(), 1u);
    EXPECT_TRUE(t.dev->channel_count_fixed());
}

// After a reload, a truncated answer with another count must not grow the
// list: a never-read channel stays out of range instead of reading 0.0.
TEST(AcParse40_41Fixed, TruncatedAnswerAfterAReloadLeavesTheServedChannelsAsTheyWere) {
    Logged<VOKA_AC> live;
    ASSERT_EQ(live.p41(kOneChannel41), 16);
    live.dev->RoundDone();
    const Bytes stored = image_of(*live.dev);
    Logged<VOKA_AC> t;
    ASSERT_TRUE(t.dev->LoadFromCache(stored.data(), static_cast<int>(stored.size())));
    EXPECT_EQ(t.p41(two_channels41(), 20), -1);
    EXPECT_EQ(t.dev->channels().size(), 1u);
    EXPECT_EQ(t.dev->header().channel_count, 1);
    EXPECT_EQ(t.dev->Get_Value(0, "channel_0_a"), 230.0f);
    try {
        t.dev->Get_Value(0, "channel_1_a");
        ADD_FAILURE() << "a never-read channel was served";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "通道参数越界");
    }
}

TEST(AcParse40_41Fixed, NewCountInThreeWellFormedAnswersInARowReplacesTheFixedOne) {
    Logged<VOKA_AC> t;
    ASSERT_EQ(t.p41(kOneChannel41), 16);
    EXPECT_EQ(t.p41(two_channels41()), -1);
    EXPECT_EQ(t.p41(two_channels41()), -1);
    EXPECT_EQ(t.dev->channels().size(), 1u);
    EXPECT_TRUE(t.logs().empty());
    EXPECT_EQ(t.p41(two_channels41()), 25);
    EXPECT_EQ(t.dev->channels().size(), 2u);
    EXPECT_EQ(t.dev->header().channel_count, 2);
    EXPECT_EQ(t.dev->channels()[1].a, 220.0f);
    EXPECT_EQ(t.logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 77 read 40_41 channel count is now 2, was 1"});
    t.dev->RoundDone();
    EXPECT_EQ(t.controller->published().at(0).image.size(), 30u + 2 * 32);
}

TEST(AcParse40_41Fixed, ZeroChannelsLeavesTheCountOpen) {
    Logged<VOKA_AC> t;
    EXPECT_EQ(t.p41({0x00, 0, 1, 0, 2, 0, 3}), 7);
    EXPECT_TRUE(t.dev->channels().empty());
    EXPECT_EQ(t.p41(kOneChannel41), 16);
    EXPECT_EQ(t.dev->channels().size(), 1u);
}

TEST(AcParse40_41Fixed, LaterAnswerOfAProvisionalListWithZeroChannelsEmptiesIt) {
    Logged<VOKA_AC> t;
    const auto stored = make_ac_image(77, 1.0f, 0, {{.a = 1}});
    ASSERT_TRUE(t.dev->LoadFromCache(stored.data(), static_cast<int>(stored.size())));
    EXPECT_EQ(t.p41({0x00, 0, 1, 0, 2, 0, 3}), 7);
    EXPECT_TRUE(t.dev->channels().empty());
    EXPECT_EQ(t.dev->header().channel_count, 0);
}

// ---- analog values, float form ----

TEST(AcParse40_41Float, DecodesFloatsMarkersAndUserValues) {
    Logged<FloatAc> t;
    const Bytes marker = {0x20, 0x20, 0x20, 0x20};
    const Bytes in = cat({{0x01}, f32(230.5f), marker, f32(229.0f), f32(50.0f), {0x02}, f32(7.5f), marker,
                          f32(1.5f), marker, f32(-2.0f)});
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.p41(in), static_cast<int>(in.size()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a:230.5 b:0 c:229 f:50\n");
    const auto& ch = t.dev->channels().at(0);
    EXPECT_EQ(ch.a, 230.5f);
    EXPECT_EQ(ch.b, 0.0f);
    EXPECT_EQ(ch.p41_count, 2);
    EXPECT_EQ(ch.p41[0], 7.5f);
    EXPECT_FLOAT_EQ(ch.p41[1], -0.1f);
    EXPECT_EQ(t.dev->header().ia, 1.5f);
    EXPECT_FLOAT_EQ(t.dev->header().ib, -0.1f);
    EXPECT_EQ(t.dev->header().ic, -2.0f);
    EXPECT_TRUE(t.logs().empty());
}

TEST(AcParse40_41Float, LogsAndSkipsAWrongUserCount) {
    Logged<FloatAc> t;
    const Bytes in = cat({{0x01}, f32(1), f32(2), f32(3), f32(4), {0x01}, f32(99), f32(5), f32(6), f32(7)});
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.p41(in), static_cast<int>(in.size()));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(t.dev->channels()[0].p41_count, 1);
    EXPECT_EQ(t.dev->channels()[0].p41[0], 0.0f);  // skipped, not stored
    EXPECT_EQ(t.dev->header().ia, 5.0f);
    EXPECT_EQ(t.logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 77 read 40_41 p is 1 not 2"});
}

// ---- switch states ----

TEST(AcParse40_43, StoresAirlockAndUserBytes) {
    Logged<FloatAc> t;
    EXPECT_EQ(t.p43({0x02, 0x11, 0x22, 0x01, 0x33, 0xEE}), 5);  // the byte after is the next device's
    EXPECT_EQ(t.dev->header().airlock_count, 2);
    EXPECT_EQ(t.dev->header().airlock[1], 0x22);
    EXPECT_EQ(t.dev->header().p43[0], 0x33);
    EXPECT_TRUE(t.logs().empty());
}

TEST(AcParse40_43, RefusesTooManyAirlocksAfterStoringTheCount) {
    Logged<VOKA_AC> t;
    EXPECT_EQ(t.p43({0x02, 0x01, 0x01, 0x00}), -1);
    EXPECT_EQ(t.dev->header().airlock_count, 2);
    EXPECT_EQ(t.logs(), std::vector<std::string>{"ProcotolError %u read 40_43 m is %d max %d"});
    EXPECT_EQ(t.controller->logs()[0].args, (std::vector<std::string>{"77", "2", "1"}));
}

TEST(AcParse40_43, WrongUserCountReturnsItsAnnouncedLengthUnread) {
    for (size_t len : {3u, 4u, 5u, 6u}) {
        Logged<VOKA_AC> t;
        EXPECT_EQ(t.p43({0x01, 0x05, 0x03, 0xA, 0xB, 0xC}, len), 6) << len;
        EXPECT_EQ(t.dev->header().airlock[0], 0x05);
        EXPECT_EQ(t.dev->header().p43_count, 3);
        EXPECT_EQ(t.logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError P77 read 40_43 p is 3 not 0"});
    }
}

// ---- alarm states ----

TEST(AcParse40_44, WithoutChannelsReadsCountAndCurrentsOnly) {
    Logged<VOKA_AC> t;
    EXPECT_EQ(t.p44({0x05, 0x01, 0x02, 0x03, 0xFF}), 4);
    EXPECT_EQ(t.dev->header().ia_alert, 1);
    EXPECT_EQ(t.dev->header().ic_alert, 3);
}

TEST(AcParse40_44, StoresChannelAlarmsAndReportsOddCounts) {
    Logged<VOKA_AC> t;
    ASSERT_EQ(t.p41(two_channels41()), 25);
    Bytes ten(10);
    for (size_t i = 0; i < ten.size(); ++i) ten[i] = static_cast<uint8_t>(0xA0 + i);
    const Bytes in = cat({{0x09},                           // count byte: not read
                          {1, 2, 3, 0, 0x00, 0x0A}, ten,    // channel 0: all as expected
                          {3, 3, 3, 3, 0x02, 0xEE, 0xEE},   // channel 1: two extra items,
                          {0x09}, Bytes(9, 0x55),           //   nine user bytes instead of ten
                          {0, 1, 2}});
    EXPECT_EQ(t.p44(in), static_cast<int>(in.size()));
    const auto& ch0 = t.dev->channels()[0];
    const auto& ch1 = t.dev->channels()[1];
    EXPECT_EQ(ch0.a_alert, 1);
    EXPECT_EQ(ch0.c_alert, 3);
    EXPECT_EQ(ch0.p44[9], 0xA9);
    EXPECT_EQ(ch1.f_alert, 3);
    EXPECT_EQ(ch1.p44_count, 9);
    EXPECT_EQ(ch1.p44[0], 0);  // old bytes kept
    EXPECT_EQ(t.dev->header().ib_alert, 1);
    EXPECT_EQ(t.logs(), (std::vector<std::string>{"PMBusPowerAC:ProcotolError 77 read 40_44 m is 2",
                                                  "PMBusPowerAC:ProcotolError 77 read 40_44 p is 9 not 10"}));
}

// ---- short answers: every truncation of a valid answer is refused with the
// byte count its layout needed up to the field that did not fit ----

namespace {

struct Truncation {
    const char* name;
    Bytes full;
    std::vector<size_t> field_ends;  // where each field of the layout ends
    int (*parse)(Logged<FloatAc>&, Logged<VOKA_AC>&, const Bytes&, size_t);
    const char* op;
};

size_t needed_for(const std::vector<size_t>& ends, size_t len) {
    for (size_t e : ends)
        if (e > len) return e;
    return 0;
}

}  // namespace

TEST(AcParseOverflow, EveryTruncationIsRefusedWithWhatTheLayoutNeeded) {
    const Bytes float41 = cat({{0x01}, f32(1), f32(2), f32(3), f32(4), {0x02}, f32(5), f32(6), f32(7), f32(8), f32(9)});
    Bytes ten(10, 0);
    const Bytes alarms44 = cat({{0x02}, {1, 2, 3, 0, 0x01, 0xEE, 0x0A}, ten, {1, 1, 1, 1, 0x00, 0x0A}, ten, {0, 1, 2}});
    const std::vector<Truncation> cases = {
        {"fixed 40_41", kOneChannel41, {1, 3, 5, 7, 9, 10, 12, 14, 16},
         [](auto&, auto& v, const Bytes& b, size_t n) { return v.p41(b, n); }, "40_41"},
        {"fixed 40_41 with user values", {0x01, 0, 1, 0, 2, 0, 3, 0, 4, 0x02, 1, 2, 3, 4, 0, 5, 0, 6, 0, 7},
         {1, 3, 5, 7, 9, 10, 14, 16, 18, 20},
         [](auto&, auto& v, const Bytes& b, size_t n) { return v.p41(b, n); }, "40_41"},
        {"float 40_41", float41, {1, 5, 9, 13, 17, 18, 22, 26, 30, 34, 38},
         [](auto& f, auto&, const Bytes& b, size_t n) { return f.p41(b, n); }, "40_41"},
        {"40_43", {0x02, 0x11, 0x22, 0x01, 0x33}, {1, 3, 4, 5},
         [](auto& f, auto&, const Bytes& b, size_t n) { return f.p43(b, n); }, "40_43"},
        {"40_44 two channels", alarms44, {1, 5, 6, 7, 8, 18, 22, 23, 24, 34, 37},
         [](auto&, auto& v, const Bytes& b, size_t n) {
             if (v.dev->channels().empty()) v.p41(two_channels41());
             return v.p44(b, n);
         },
         "40_44"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.field_ends.back(), c.full.size()) << c.name;
        for (size_t n = 0; n < c.full.size(); ++n) {
            Logged<FloatAc> f;
            Logged<VOKA_AC> v;
            testing::internal::CaptureStdout();
            EXPECT_EQ(c.parse(f, v, c.full, n), -1) << c.name << " len " << n;
            testing::internal::GetCapturedStdout();
            auto logs = f.logs();
            for (auto& l : v.logs()) logs.push_back(l);
            ASSERT_FALSE(logs.empty()) << c.name << " len " << n;
            EXPECT_EQ(logs.back(), "PMBusPowerAC:ProcotolError 77 read " + std::string(c.op) + " read overflow " +
                                       std::to_string(needed_for(c.field_ends, n)) + " - " + std::to_string(n))
                << c.name;
        }
        Logged<FloatAc> f;
        Logged<VOKA_AC> v;
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.parse(f, v, c.full, c.full.size()), static_cast<int>(c.full.size())) << c.name;
        testing::internal::GetCapturedStdout();
    }
}

TEST(AcParseOverflow, NothingPresentIsAnOverflowForEveryOperation) {
    for (int len : {0, -1, -100}) {
        Logged<VOKA_AC> t;
        const uint8_t guard = 0x01;
        EXPECT_EQ(t.dev->parse40_41(&guard, len), -1);
        EXPECT_EQ(t.dev->parse40_43(&guard, len), -1);
        EXPECT_EQ(t.dev->parse40_44(&guard, len), -1);
        EXPECT_EQ(t.dev->parse40_41(nullptr, len), -1);
        const std::string n = std::to_string(len);
        EXPECT_EQ(t.logs(), (std::vector<std::string>{
                                "PMBusPowerAC:ProcotolError 77 read 40_41 read overflow 1 - " + n,
                                "PMBusPowerAC:ProcotolError 77 read 40_43 read overflow 1 - " + n,
                                "PMBusPowerAC:ProcotolError 77 read 40_44 read overflow 1 - " + n,
                                "PMBusPowerAC:ProcotolError 77 read 40_41 read overflow 1 - " + n}));
    }
}
