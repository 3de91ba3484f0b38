// The general polling cycle of the master template, driven with recording
// child devices: model check, stage order, resumption and its own walk rules.
#include <chrono>

#include <gtest/gtest.h>

#include "plugin/power/pmbus_power.h"
#include "tests/support/decoded_answer.h"
#include "tests/support/fake_children.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

namespace {

using Master = PMBusPower<FakeAC, FakeDC, FakeRC>;
using Bytes = std::vector<uint8_t>;
using Cmd = RecordingController::Command;

struct CycleRig {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Master> master = std::make_shared<Master>(std::vector<std::string>{"MODEL-A"});
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();

    explicit CycleRig(int ac = 1, int dc = 1) {
        master->controller = controller;
        master->data_id = 9;
        Json::Value cfg(Json::objectValue);
        for (int i = 0; i < ac; ++i) cfg["acSetting"][i]["data_id"] = 10 + i;
        for (int i = 0; i < dc; ++i) cfg["dcSetting"][i]["data_id"] = 20 + i;
        cfg["rcSetting"] = Json::objectValue;
        EXPECT_TRUE(master->InitSetting(cfg));
        for (auto& a : master->ac_devices) a->events = events;
        for (auto& d : master->dc_devices) d->events = events;
        master->rc_device->events = events;
    }
    int answer(uint8_t cid1, const Bytes& info) {
        auto frame = decoded_answer(cid1, info);
        return master->process(frame.data(), static_cast<unsigned>(frame.size()));
    }
    Cmd last() const { return controller->commands().back(); }
    size_t sent() const { return controller->commands().size(); }
    // The model check, answered with a supported model.
    void pass_model_check() {
        ASSERT_TRUE(master->RefreshStatus());
        Bytes model(20, ' ');
        std::copy_n("MODEL-A", 7, model.begin());
        model.resize(7);
        ASSERT_EQ(answer(0x40, model), 1);
    }
};

const Bytes kModelA = {'M', 'O', 'D', 'E', 'L', '-', 'A'};

}  // namespace

TEST(GeneralCycle, FirstPollAsksForTheModelWhateverTheTime) {
    CycleRig r;
    r.master->last_update = boost::posix_time::second_clock::local_time();
    EXPECT_TRUE(r.master->RefreshStatus());
    EXPECT_EQ(r.master->cmd_stage, 14);
    EXPECT_EQ(r.last(), (Cmd{0x40, 0x51, {}}));
    EXPECT_TRUE(r.master->RefreshStatus());  // asked again until answered
    EXPECT_EQ(r.sent(), 2u);
}

TEST(GeneralCycle, UnsupportedModelIsReportedOnceThenTheRoundStarts) {
    CycleRig r;
    ASSERT_TRUE(r.master->RefreshStatus());
    Bytes info = {'X', 'Y', 'Z'};
    info.resize(25, 'q');  // only the first 20 bytes are the model
    EXPECT_EQ(r.answer(0x40, info), 1);
    EXPECT_EQ(r.master->model, "XYZ" + std::string(17, 'q'));
    const auto t = r.controller->thresholds();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].rule.grade, 3);
    EXPECT_EQ(t[0].rule.rule_id, "device_model");
    EXPECT_EQ(t[0].rule.alarm_code, "70319");
    EXPECT_EQ(t[0].rule.alarm_name, "设备配置检测");
    EXPECT_EQ(t[0].rule.text, "本驱动类型: 检测型号:XYZqqqqqqqqqqqqqqqqq");
    EXPECT_EQ(t[0].rule.holds, 1u);
    EXPECT_EQ(t[0].rule.seq, 0u);
    EXPECT_FALSE(r.master->model_check_due);
    EXPECT_EQ(r.last(), (Cmd{0x40, 0x41, {0xFF}}));
    EXPECT_EQ(r.master->cmd_stage, 0);
}

TEST(GeneralCycle, SupportedModelReportsNothingAndShortModelReadsOnlyItsInfo) {
    CycleRig r(0, 0);
    ASSERT_TRUE(r.master->RefreshStatus());
    EXPECT_EQ(r.answer(0x41, kModelA), 1);  // wrong CID1: ignored
    EXPECT_TRUE(r.master->model_check_due);
    EXPECT_EQ(r.answer(0x40, kModelA), 1);
    EXPECT_EQ(r.master->model, "MODEL-A");
    EXPECT_TRUE(r.controller->thresholds().empty());
    EXPECT_EQ(r.last(), (Cmd{0x41, 0x41, {}}));  // no AC children: rectifier first
}

TEST(GeneralCycle, RunsAWholeRoundInStageOrder) {
    CycleRig r(1, 1);
    r.pass_model_check();
    EXPECT_EQ(r.answer(0x40, {0x00, 0x01, 0xAA, 0xBB}), 1);  // AC analog: walk from byte 2
    EXPECT_EQ(r.master->ac_devices[0]->calls.back().bytes, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(r.answer(0x40, {0x00, 0x01, 0xCC}), 1);        // AC switch states
    EXPECT_EQ(r.answer(0x40, {0x00, 0x01, 0xDD}), 1);        // AC alarms
    EXPECT_EQ(r.answer(0x41, {0x00, 0x02}), 1);              // rectifier analog, given INFO from byte 0
    EXPECT_EQ(r.master->rc_device->calls.back().bytes, (Bytes{0x00, 0x02}));
    EXPECT_EQ(r.answer(0x41, {0x00}), 1);
    EXPECT_EQ(r.answer(0x41, {0x00}), 1);
    EXPECT_EQ(r.answer(0x42, {0x00, 0x01, 0x11}), 1);        // DC analog
    EXPECT_EQ(r.answer(0x42, {0x00, 0x01, 0x22}), 1);        // DC alarms
    EXPECT_EQ(r.answer(0x40, {0x01}), 1);                    // AC parameters
    EXPECT_EQ(r.answer(0x42, {0x02}), 0);                    // DC parameters: end of round
    const std::vector<Cmd> want = {
        {0x40, 0x51, {}},     {0x40, 0x41, {0xFF}}, {0x40, 0x43, {0xFF}}, {0x40, 0x44, {0xFF}},
        {0x41, 0x41, {}},     {0x41, 0x43, {}},     {0x41, 0x44, {}},     {0x42, 0x41, {}},
        {0x42, 0x44, {}},     {0x40, 0x46, {}},     {0x42, 0x46, {}},
    };
    EXPECT_EQ(r.controller->commands(), want);
    EXPECT_EQ(*r.events, (std::vector<std::string>{"fake-ac 10 RoundDone", "fake-dc 20 RoundDone",
                                                   "fake-rc 9 RoundDone"}));
    EXPECT_EQ(r.master->cmd_stage, 0);
    EXPECT_EQ(r.controller->exchanges_ended(), 1u);
}

// RefreshStatus with last_update `age` whole seconds before the local clock.
// The master reads the clock itself: when the second changed around the call,
// the age it saw is not known, so the call is made again (once suffices: the
// next boundary is a second away).
static bool refresh_at_age(CycleRig& r, int age) {
    using boost::posix_time::second_clock;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto before = second_clock::local_time();
        r.master->cmd_stage = 0;
        r.master->sp_state = 7;
        r.master->last_update = before - boost::posix_time::seconds(age);
        const bool sent = r.master->RefreshStatus();
        if (second_clock::local_time() == before) return sent;
    }
    ADD_FAILURE() << "the clock changed its second around every call";
    return false;
}

TEST(GeneralCycle, GatesRoundsTwoSecondsAfterLastUpdateAndResumes) {
    CycleRig r;
    r.pass_model_check();
    EXPECT_FALSE(refresh_at_age(r, 1));
    EXPECT_EQ(r.master->sp_state, 0u);
    EXPECT_TRUE(refresh_at_age(r, 2));
    EXPECT_EQ(r.last(), (Cmd{0x40, 0x41, {0xFF}}));

    struct Case { int stage; Cmd resent; int stage_after; };
    const std::vector<Case> cases = {
        {5, {0x41, 0x43, {}}, 5},     {1, {0x40, 0x43, {0xFF}}, 1}, {8, {0x42, 0x44, {}}, 8},
        {3, {0x40, 0x41, {0xFF}}, 0}, {9, {0x40, 0x41, {0xFF}}, 0}, {12, {0x40, 0x41, {0xFF}}, 0},
    };
    for (const auto& c : cases) {
        r.master->cmd_stage = c.stage;
        EXPECT_TRUE(r.master->RefreshStatus()) << c.stage;
        EXPECT_EQ(r.last(), c.resent) << c.stage;
        EXPECT_EQ(r.master->cmd_stage, c.stage_after) << c.stage;
    }
    r.master->protocol_ver = 0x21;
    r.master->cmd_stage = 7;
    EXPECT_TRUE(r.master->RefreshStatus());
    EXPECT_EQ(r.last(), (Cmd{0x42, 0x41, {0xFF}}));
}

TEST(GeneralCycle, DcAnalogWithFourOrMoreUnitsWalksFromTheUnitCount) {
    for (int units : {3, 4}) {
        CycleRig r(0, units);
        r.pass_model_check();
        r.master->cmd_stage = 7;
        Bytes info = {0x00, static_cast<uint8_t>(units), 0xA1, 0xA2};
        for (auto& d : r.master->dc_devices) d->results = {0};
        r.master->dc_devices[0]->results = {1};
        EXPECT_EQ(r.answer(0x42, info), 1);
        const auto& first = r.master->dc_devices[0]->calls.at(0);
        EXPECT_EQ(first.len, units <= 3 ? 2 : 3) << units;
        EXPECT_EQ(first.bytes.front(), units <= 3 ? 0xA1 : units) << units;
    }
}

TEST(GeneralCycle, EmptySwitchStateAnswerSkipsTheWalk) {
    CycleRig r(1, 1);
    r.pass_model_check();
    r.master->cmd_stage = 1;
    EXPECT_EQ(r.answer(0x40, {0x00, 0x01}), 1);
    EXPECT_TRUE(r.master->ac_devices[0]->calls.empty());
    EXPECT_EQ(r.master->cmd_stage, 2);
}

TEST(GeneralCycle, RectifierStagesEndTheRoundWithoutDcChildren) {
    for (int s : {5, 6}) {
        CycleRig r(0, 0);
        r.pass_model_check();
        r.master->cmd_stage = s;
        r.master->data_valid = true;  // nothing further asked for
        EXPECT_EQ(r.answer(0x41, {0x00}), 0) << s;
        EXPECT_EQ(r.master->cmd_stage, 0);
        EXPECT_EQ(r.events->back(), "fake-rc 9 RoundDone");
    }
    CycleRig r(0, 0);
    r.pass_model_check();
    r.master->data_valid = true;
    EXPECT_EQ(r.answer(0x41, {0x00}), 0);  // stage 4, no flag bits: the round ends
}

TEST(GeneralCycle, PausesBeforeHandlingEveryAnswer) {
    CycleRig r;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(r.answer(0x40, {}), 0);  // even one dropped at once: stage 0 without a DATAFLAG
    r.master->cmd_stage = 12;
    EXPECT_EQ(r.answer(0x40, {}), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST(GeneralCycle, MasterWithoutRectifierNeverPolls) {
    auto controller = std::make_shared<RecordingController>();
    auto master = std::make_shared<Master>(std::vector<std::string>{});
    master->controller = controller;
    EXPECT_FALSE(master->InitSetting(parse_json(R"({"acSetting": [{"data_id": 1}]})")));
    EXPECT_FALSE(master->RefreshStatus());
    EXPECT_EQ(controller->poll_requests(), 0u);
    auto frame = decoded_answer(0x40, {0x00, 0x01});
    EXPECT_EQ(master->process(frame.data(), static_cast<unsigned>(frame.size())), 0);
    EXPECT_EQ(controller->exchanges_ended(), 1u);
    EXPECT_TRUE(master->ac_devices[0]->calls.empty());
}

TEST(GeneralCycle, DcAnswersConsumedBeyondTheirLengthAreLoggedAndTheRoundGoesOn) {
    for (int s : {7, 8}) {
        CycleRig r(1, 1);
        r.pass_model_check();
        r.master->cmd_stage = s;
        r.master->dc_devices[0]->results = {5};  // claims more than the 1 byte it was given
        EXPECT_EQ(r.answer(0x42, {0x00, 0x01, 0x77}), 1) << s;
        EXPECT_EQ(r.controller->log_texts().back(),
                  std::string("PMBusPower:ProcotolError 9 parse ") + (s == 7 ? "42_41" : "42_44") +
                      " overflow memory boundary");
        EXPECT_EQ(r.master->cmd_stage, s == 7 ? 8 : 3);
    }
}

TEST(GeneralCycle, ChildrenAfterAShareThatRanPastTheEndGetNoBytes) {
    CycleRig r(2, 0);
    r.pass_model_check();
    r.master->ac_devices[0]->results = {4};  // two bytes were left: it claims four
    EXPECT_EQ(r.answer(0x40, {0x00, 0x02, 0xAA, 0xBB}), 1);
    const auto& second = r.master->ac_devices[1]->calls.at(0);
    EXPECT_TRUE(second.bytes.empty());
    EXPECT_EQ(second.len, -2);
    EXPECT_EQ(r.master->cmd_stage, 0);  // refused by the child: nothing more
}
