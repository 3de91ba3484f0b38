// The "voka" master's polling cycle and answer dispatch, with real children
// answered from a simulated site.
#include <gtest/gtest.h>

#include "tests/support/voka_rig.h"

namespace {

using Cmd = RecordingController::Command;

const std::vector<Cmd> kFullRound = {
    {0x40, 0x42, {0x00}}, {0x40, 0x43, {0x00}}, {0x40, 0x44, {0x00}}, {0x41, 0x42, {}}, {0x41, 0x43, {}},
    {0x41, 0x44, {}},     {0x42, 0x42, {}},     {0x42, 0x44, {}},     {0x40, 0x47, {}}, {0x42, 0x47, {}},
};

}  // namespace

TEST(VokaCycle, ConstructorSetsTheMastersLineDefaults) {
    VOKA m;
    EXPECT_EQ(m.DeviceType(), "voka");
    EXPECT_EQ(m.baud_rate, 9600);
    EXPECT_EQ(m.protocol_ver, 0x20);
    EXPECT_TRUE(m.sp_flag);
    EXPECT_EQ(m.group_byte, 0);
    EXPECT_EQ(m.supported_models, std::vector<std::string>{"voka"});
    EXPECT_TRUE(m.GetAllChildVDevices().empty());
}

TEST(VokaCycle, RunsAWholeRoundAndEndsItWithEveryChild) {
    VokaRig rig;
    ASSERT_TRUE(rig.configured);
    EXPECT_EQ(rig.run_round(), 10);
    EXPECT_EQ(rig.controller->commands(), kFullRound);
    EXPECT_EQ(rig.controller->exchanges_ended(), 1u);
    EXPECT_EQ(rig.master->cmd_stage, 9);  // left where the round ended
    const auto published = rig.controller->published();
    ASSERT_EQ(published.size(), 3u);
    EXPECT_EQ(published[0].type, 5188);
    EXPECT_EQ(published[1].type, 5189);
    EXPECT_EQ(published[2].type, 5190);
    EXPECT_EQ(published[2].image.size(), 147u + 16u * 3);
    EXPECT_TRUE(rig.log_texts().empty());
    // The children now answer from this round.
    EXPECT_FLOAT_EQ(rig.master->GetChildVDevice(11)->Get_Value(11, "channel_0_a"), 230.0f);
    EXPECT_FLOAT_EQ(rig.master->GetChildVDevice(11)->Get_Value(11, "ia"), 10.0f);
    EXPECT_FLOAT_EQ(rig.master->GetChildVDevice(21)->Get_Value(21, "v"), 53.5f);
    EXPECT_EQ(rig.master->rc_device->modules().size(), 3u);
    EXPECT_FLOAT_EQ(rig.master->rc_device->record().dc_param[0], 57.0f);
    // A second round runs the same way.
    EXPECT_EQ(rig.run_round(), 10);
    EXPECT_EQ(rig.controller->published().size(), 6u);
}

TEST(VokaCycle, StartsEveryRoundFromTheBeginning) {
    struct Case { const char* config; Cmd first; int stage; };
    const std::vector<Case> cases = {
        {R"({"acSetting": [{"data_id": 11}], "rcSetting": {}})", {0x40, 0x42, {0x00}}, 0},
        {R"({"dcSetting": [{"data_id": 21}], "rcSetting": {}})", {0x41, 0x42, {}}, 4},
    };
    for (const auto& c : cases) {
        VokaRig rig(c.config);
        for (int stale : {0, 5, 9}) {
            rig.master->cmd_stage = stale;
            rig.master->last_update = boost::posix_time::second_clock::local_time();  // no gate for "voka"
            EXPECT_TRUE(rig.master->RefreshStatus());
            EXPECT_EQ(rig.controller->commands().back(), c.first);
            EXPECT_EQ(rig.master->cmd_stage, c.stage);
        }
    }
}

TEST(VokaCycle, DeclinesWhenTheLineIsBusyOrTheMasterUnconfigured) {
    VokaRig rig;
    rig.controller->poll_allowed = false;
    rig.master->sp_state = 5;
    EXPECT_FALSE(rig.master->RefreshStatus());
    EXPECT_EQ(rig.master->sp_state, 5u);
    EXPECT_TRUE(rig.controller->commands().empty());

    VokaRig unconfigured(R"({"acSetting": [{"data_id": 11}]})");
    EXPECT_FALSE(unconfigured.configured);
    EXPECT_FALSE(unconfigured.master->RefreshStatus());
    EXPECT_EQ(unconfigured.controller->poll_requests(), 0u);
    EXPECT_EQ(unconfigured.answer(0x40, {0x00, 0x01}), 0);  // dropped with Reset
    EXPECT_EQ(unconfigured.controller->exchanges_ended(), 1u);
    EXPECT_TRUE(unconfigured.controller->commands().empty());
}

TEST(VokaCycle, DcCommandsCarryTheGroupByteOnlyForVersion21) {
    VokaRig rig;
    rig.master->protocol_ver = 0x21;
    rig.run_round();
    const auto cmds = rig.controller->commands();
    EXPECT_EQ(cmds[6], (Cmd{0x42, 0x42, {0x00}}));
    EXPECT_EQ(cmds[7], (Cmd{0x42, 0x44, {0x00}}));
    EXPECT_EQ(cmds[0], (Cmd{0x40, 0x42, {0x00}}));
    EXPECT_EQ(cmds[3], (Cmd{0x41, 0x42, {}}));
}

TEST(VokaCycle, DataflagChoosesTheOptionalStagesOnceDataIsValid) {
    struct Case { int stage; uint8_t flag; bool with_ac; int next; };
    const std::vector<Case> cases = {
        {0, 0x00, true, 4}, {0, 0x10, true, 1}, {0, 0x01, true, 2}, {0, 0x11, true, 1},
        {1, 0x00, true, 4}, {1, 0x01, true, 2},
        {4, 0x00, true, 7}, {4, 0x10, true, 5}, {4, 0x01, true, 6},
        {5, 0x00, true, 7}, {5, 0x01, true, 6},
        {7, 0x00, true, 3}, {7, 0x00, false, 9}, {7, 0x10, true, 8}, {7, 0x01, false, 8},
        {8, 0x00, true, 3}, {8, 0x00, false, 9},
    };
    for (const auto& c : cases) {
        VokaRig rig(c.with_ac ? R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}})"
                              : R"({"dcSetting": [{"data_id": 21}], "rcSetting": {}})");
        if (!c.with_ac) rig.site.ac.clear();
        rig.master->data_valid = true;
        if (c.stage == 5) {  // the module list comes from an analog answer
            rig.master->cmd_stage = 4;
            ASSERT_EQ(rig.answer(0x41, *sim::answer_info(rig.site, sim::CommandSet::voka, 0x41, 0x42)), 1);
        }
        rig.site.ac_dataflag = rig.site.rc_dataflag = rig.site.dc_dataflag = c.flag;
        // Stages 1 and 5 follow the flag their analog answer left.
        rig.master->ac_dataflag = rig.master->rc_dataflag = c.flag;
        rig.master->cmd_stage = c.stage;
        const uint8_t cid1 = c.stage <= 3 ? 0x40 : c.stage <= 6 ? 0x41 : 0x42;
        const uint8_t cid2 = c.stage == 0 || c.stage == 4 || c.stage == 7 ? 0x42 : c.stage == 1 || c.stage == 5 ? 0x43 : 0x44;
        EXPECT_EQ(rig.answer(cid1, *sim::answer_info(rig.site, sim::CommandSet::voka, cid1, cid2)), 1)
            << c.stage << " " << int(c.flag);
        EXPECT_EQ(rig.master->cmd_stage, c.next) << c.stage << " flag " << int(c.flag);
    }
}

TEST(VokaCycle, RefusesAnswersItCannotUseWithTheRightMessage) {
    struct Case {
        const char* name;
        int stage;
        uint8_t cid1;
        std::function<std::vector<uint8_t>(std::vector<uint8_t>)> mangle;  // of the site's answer
        int result;
        std::string log;  // "" for none
        bool reset;
    };
    const auto keep = [](std::vector<uint8_t> i) { return i; };
    const auto extra_byte = [](std::vector<uint8_t> i) {
        i.push_back(0);
        return i;
    };
    const auto units = [](uint8_t n) {
        return [n](std::vector<uint8_t> i) {
            i[1] = n;
            return i;
        };
    };
    const std::string e = "PMBusPower:ProcotolError 1 ";
    const std::vector<Case> cases = {
        {"stage 0, wrong CID1", 0, 0x41, keep, 0, "", true},
        {"stage 0, two AC units", 0, 0x40, units(2), 0, e + "read ac_number is 2, configured ac_number is 1", true},
        {"stage 0, bytes left over", 0, 0x40, extra_byte, 1, e + "parse 40_41 overflow memory boundary", false},
        {"stage 1, wrong CID1", 1, 0x42, keep, 1, "", false},
        {"stage 1, bytes left over", 1, 0x40, extra_byte, 1, e + "parse 40_43 overflow memory boundary", false},
        {"stage 2, bytes left over", 2, 0x40, extra_byte, 1, "", false},
        {"stage 4, wrong CID1", 4, 0x40, keep, 1, "", false},
        {"stage 4, bytes left over", 4, 0x41, extra_byte, 1, e + "parse p41_41 overflow memory boundary", false},
        {"stage 5, bytes left over", 5, 0x41, extra_byte, 1, e + "parse p41_43 overflow memory boundary", false},
        {"stage 6, bytes left over", 6, 0x41, extra_byte, 1, e + "parse p41_44 overflow memory boundary", false},
        {"stage 7, two DC units", 7, 0x42, units(2), 1, e + "read dc_number is 2, configured dc_number is 1", false},
        {"stage 8, no DC units", 8, 0x42, units(0), 1, e + "read dc_number is 0, configured dc_number is 1", false},
        {"stage 3, wrong CID1", 3, 0x42, keep, 1, "", false},
        {"stage 9, wrong CID1", 9, 0x40, keep, 1, "", false},
        {"stage 12", 12, 0x40, keep, 1, "", false},
    };
    for (const auto& c : cases) {
        VokaRig rig;
        rig.master->cmd_stage = c.stage;
        static const uint8_t kCid2[] = {0x42, 0x43, 0x44, 0x47, 0x42, 0x43, 0x44, 0x42, 0x44, 0x47, 0x42, 0x42, 0x42};
        const uint8_t cid1 = c.stage <= 3 || c.stage > 9 ? 0x40 : c.stage <= 6 ? 0x41 : 0x42;
        const uint8_t site_cid1 = c.stage == 9 ? 0x42 : cid1;
        // Stages after the first need the record sized by a first analog answer.
        if (c.stage >= 1 && c.stage <= 3) rig.answer(0x40, sim::answer_info(rig.site, sim::CommandSet::voka, 0x40, 0x42).value());
        if (c.stage >= 5 && c.stage <= 6) {
            rig.master->cmd_stage = 4;
            rig.answer(0x41, sim::answer_info(rig.site, sim::CommandSet::voka, 0x41, 0x42).value());
        }
        rig.master->cmd_stage = c.stage;
        const size_t sent_before = rig.controller->commands().size();
        const size_t logs_before = rig.controller->logs().size();
        const auto info = c.mangle(sim::answer_info(rig.site, sim::CommandSet::voka, site_cid1, kCid2[c.stage]).value());
        EXPECT_EQ(rig.answer(c.cid1, info), c.result) << c.name;
        EXPECT_EQ(rig.controller->commands().size(), sent_before) << c.name << ": nothing may be sent";
        EXPECT_EQ(rig.master->cmd_stage, c.stage) << c.name;
        EXPECT_EQ(rig.controller->exchanges_ended(), c.reset ? 1u : 0u) << c.name;
        const auto texts = rig.log_texts();
        const std::vector<std::string> got(texts.begin() + static_cast<std::ptrdiff_t>(logs_before), texts.end());
        if (c.log.empty()) {
            EXPECT_TRUE(got.empty() || got.back().rfind("PMBusPower:", 0) != 0) << c.name;
        } else {
            ASSERT_FALSE(got.empty()) << c.name;
            EXPECT_EQ(got.back(), c.log) << c.name;
        }
    }
}

TEST(VokaCycle, ParameterAnswersLongerThanSentAreLoggedAndTheRoundGoesOn) {
    VokaRig rig;
    rig.master->cmd_stage = 3;
    auto params = sim::answer_info(rig.site, sim::CommandSet::voka, 0x40, 0x47).value();
    params[10] = 2;  // two user-defined values announced, none sent
    EXPECT_EQ(rig.answer(0x40, params), 1);
    EXPECT_EQ(rig.log_texts().back(), "PMBusPower:ProcotolError 1 parse 40_46 overflow memory boundary");
    EXPECT_EQ(rig.master->cmd_stage, 9);
    auto dc_params = sim::answer_info(rig.site, sim::CommandSet::voka, 0x42, 0x47).value();
    dc_params[4] = 60;  // not 51: the announced length exceeds the answer
    dc_params.resize(5);
    EXPECT_EQ(rig.answer(0x42, dc_params), 0);
    EXPECT_EQ(rig.log_texts().back(), "PMBusPower:ProcotolError 1 parse 40_46 overflow memory boundary");
    EXPECT_EQ(rig.controller->published().size(), 3u);  // the round ended
}

TEST(VokaCycle, AnswerTooShortForItsFlagOrUnitCountIsDroppedWithoutReadingPastIt) {
    struct Case { int stage; uint8_t cid1; std::vector<uint8_t> info; int result; bool reset; };
    const std::vector<Case> cases = {
        {0, 0x40, {}, 0, true}, {0, 0x40, {0x10}, 0, true}, {4, 0x41, {}, 1, false},
        {7, 0x42, {0x00}, 1, false}, {8, 0x42, {0x00}, 1, false}, {1, 0x40, {}, 1, false},
        {3, 0x40, {}, 1, false}, {9, 0x42, {}, 1, false},
    };
    for (const auto& c : cases) {
        VokaRig rig;
        rig.master->ac_dataflag = rig.master->rc_dataflag = 0x55;
        rig.master->cmd_stage = c.stage;
        EXPECT_EQ(rig.answer(c.cid1, c.info), c.result) << c.stage;
        EXPECT_EQ(rig.controller->exchanges_ended(), c.reset ? 1u : 0u) << c.stage;
        EXPECT_TRUE(rig.controller->commands().empty()) << c.stage;
        EXPECT_EQ(rig.master->ac_dataflag, 0x55) << c.stage;
        EXPECT_EQ(rig.master->rc_dataflag, 0x55) << c.stage;
    }
}
