// The end of a DC round: the record published and stored, the output-voltage
// and battery-fuse conditions with their sequence numbers.
#include <cstring>

#include <gtest/gtest.h>

#include "plugin/dc/voka_dc.h"
#include "tests/support/dc_devices.h"
#include "tests/support/recording_controller.h"

namespace {

using FuseRecord = tele_c_pmbuspower_dc<0, 0, 0, 2, 0>;
using FuseDC = GenericDC<FuseRecord>;

template <class Device>
struct DcRig {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Device> dev = std::make_shared<Device>();
    DcRig() {
        dev->controller = controller;
        dev->InitV(nullptr, 31, Json::Value());
    }
    template <class Record>
    void load(const Record& r) {
        const auto bytes = bytes_of(r);
        ASSERT_TRUE(dev->LoadFromCache(bytes.data(), static_cast<int>(bytes.size())));
    }
    std::vector<rule_value> round() {
        const size_t before = controller->thresholds().size();
        dev->RoundDone();
        const auto all = controller->thresholds();
        std::vector<rule_value> rules;
        for (size_t i = before; i < all.size(); ++i) rules.push_back(all[i].rule);
        return rules;
    }
};

tele_c_voka_dc voka_record(float v, float i, uint8_t v_state) {
    tele_c_voka_dc r{};
    r.id = 31;
    r.v = v;
    r.i = i;
    r.v_state = v_state;
    return r;
}

}  // namespace

TEST(DcRound, ReportsOutputVoltageConditionsByState) {
    struct Case { uint8_t v_state; bool low, high; };
    for (const Case& c : std::vector<Case>{{0, false, false}, {1, true, false}, {2, false, true},
                                           {3, false, false}, {5, false, false}}) {
        DcRig<VOKA_DC> rig;
        rig.load(voka_record(53.5f, 10, c.v_state));
        const auto rules = rig.round();
        ASSERT_EQ(rules.size(), 2u);
        EXPECT_EQ(rules[0].rule_id, "DC_0");
        EXPECT_EQ(rules[0].alarm_code, "06008");
        EXPECT_EQ(rules[0].grade, 3);
        EXPECT_EQ(rules[0].alarm_name, "输出电压过低告警");
        EXPECT_EQ(rules[0].text, "输出电压过低告警");
        EXPECT_EQ(rules[0].seq, 1u);
        EXPECT_EQ(rules[0].holds, c.low ? 1u : 0u) << int(c.v_state);
        EXPECT_EQ(rules[1].rule_id, "DC_1");
        EXPECT_EQ(rules[1].alarm_code, "06009");
        EXPECT_EQ(rules[1].text, "输出电压过高告警");
        EXPECT_EQ(rules[1].seq, 2u);
        EXPECT_EQ(rules[1].holds, c.high ? 1u : 0u) << int(c.v_state);
    }
}

TEST(DcRound, PublishesAndStoresTheWhole41ByteRecord) {
    DcRig<VOKA_DC> rig;
    rig.load(voka_record(53.5f, 10, 0));
    rig.round();
    EXPECT_TRUE(rig.dev->data_valid);
    EXPECT_TRUE(rig.dev->rules.empty());
    EXPECT_GE(rig.dev->rules.capacity(), 2u);
    ASSERT_EQ(rig.controller->held_work(), 1u);
    rig.controller->run_held_work();
    const auto published = rig.controller->published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].type, 5189);
    EXPECT_EQ(published[0].image.size(), 41u);
    EXPECT_EQ(rig.controller->saved().at(0).image, published[0].image);
    EXPECT_EQ(rig.controller->evaluated().at(0).size(), 2u);
    const auto stamp = get_ttime(rig.dev->last_update);
    EXPECT_EQ(published[0].image[34], stamp[0]);  // the round's time stamp
    EXPECT_EQ(published[0].image[35], stamp[1]);
}

TEST(DcRound, JudgesEveryFuseOnlyWhenTheCountIsTheRecordsOwn) {
    DcRig<FuseDC> rig;
    FuseRecord r{};
    r.alert_m_count = 2;
    r.alert_m_states[0] = 0;
    r.alert_m_states[1] = 3;
    rig.load(r);
    auto rules = rig.round();
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[2].rule_id, "DC_3");
    EXPECT_EQ(rules[2].grade, 1);
    EXPECT_EQ(rules[2].alarm_code, "06001");
    EXPECT_EQ(rules[2].alarm_name, "电池熔丝故障告警");
    EXPECT_EQ(rules[2].text, "直流1电池熔丝故障告警");
    EXPECT_EQ(rules[2].holds, 0u);
    EXPECT_EQ(rules[2].seq, 3u);
    EXPECT_EQ(rules[3].text, "直流2电池熔丝故障告警");
    EXPECT_EQ(rules[3].holds, 1u);
    EXPECT_EQ(rules[3].seq, 4u);
    EXPECT_EQ(rig.controller->published().back().image.size(), sizeof(FuseRecord));

    r.alert_m_count = 3;  // the equipment announced another count
    rig.load(r);
    rules = rig.round();
    EXPECT_EQ(rules.size(), 2u);
}

TEST(DcRound, HeldWorkItemsStoreTheRecordOfTheirOwnRound) {
    DcRig<VOKA_DC> rig;
    for (float v : {48.0f, 49.0f, 50.0f}) {
        rig.load(voka_record(v, 1, 0));
        rig.round();
    }
    rig.load(voka_record(99, 1, 0));
    rig.controller->run_held_work();
    const auto saved = rig.controller->saved();
    ASSERT_EQ(saved.size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
        float v = 0;
        std::memcpy(&v, saved[k].image.data() + 4, 4);
        EXPECT_EQ(v, 48.0f + static_cast<float>(k));
    }
}

TEST(DcRound, ChangeDeterminationUsesTheConfiguredSteps) {
    struct Case { float v_then, v_now, i_then, i_now; bool changed; };
    const std::vector<Case> cases = {
        {53.5f, 53.5f, 10, 10, false}, {53.5f, 53.55f, 10, 10, false}, {53.5f, 53.7f, 10, 10, true},
        {53.5f, 53.5f, 10, 29, false}, {53.5f, 53.5f, 10, 30, true},   {53.5f, 53.5f, 10, -10, true},
    };
    for (const auto& c : cases) {
        DcRig<VOKA_DC> rig;
        rig.dev->RoundDone();  // first round: valid data is news
        EXPECT_TRUE(rig.dev->last_round_changed());
        rig.load(voka_record(c.v_then, c.i_then, 0));
        rig.round();
        rig.load(voka_record(c.v_now, c.i_now, 0));
        rig.round();
        EXPECT_EQ(rig.dev->last_round_changed(), c.changed) << c.v_now << " " << c.i_now;
    }
}
