// The stand-in host core: each host operation a device calls reaches its
// controller with every argument, and does nothing once the controller is gone.
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/json.h"
#include <json/value.h>

#include "host/interface/pmbus_protocol.h"
#include "host/core/log_format.h"
#include "tests/support/recording_controller.h"

namespace {

// The smallest concrete device: records nothing itself.
struct PlainDevice : ZTXSPDevice {
    bool LoadFromCache(const uint8_t*, int) override { return false; }
};

struct Fixture : ::testing::Test {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<PlainDevice> device = std::make_shared<PlainDevice>();
    void SetUp() override {
        device->controller = controller;
        device->data_id = 42;
    }
};

using HostCore = Fixture;

TEST_F(HostCore, CheckThresholdBoolAppendsRuleWithEveryArgument) {
    EXPECT_TRUE(device->CheckThresholdBool(3, "AC_0", "06015", "name", "text", true, 7));
    EXPECT_FALSE(device->CheckThresholdBool(1, "DC_3", "01003", "n2", "t2", false, 8));
    ASSERT_EQ(device->rules.size(), 2u);
    const rule_value& r = device->rules[0];
    EXPECT_EQ(r.grade, 3);
    EXPECT_EQ(r.rule_id, "AC_0");
    EXPECT_EQ(r.alarm_code, "06015");
    EXPECT_EQ(r.data_id, 42u);
    EXPECT_EQ(r.holds, 1u);
    EXPECT_EQ(r.alarm_name, "name");
    EXPECT_EQ(r.text, "text");
    EXPECT_EQ(r.seq, 7u);
    EXPECT_EQ(device->rules[1].holds, 0u);
    const auto seen = controller->thresholds();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].rule.rule_id, "DC_3");
    EXPECT_EQ(seen[1].data_id, 42u);
}

TEST_F(HostCore, ImagesAndWorkReachTheController) {
    const uint8_t image[] = {1, 2, 3};
    device->SendSP(5188, image, 3, false);
    device->SaveDeviceHistory(image, 2);
    controller->rules_result = true;
    EXPECT_TRUE(device->DoBatchCheckThreshold({rule_value{}}));
    int ran = 0;
    device->CheckThresholdWork([&] { ++ran; });
    EXPECT_EQ(ran, 0);  // held until the host runs it
    EXPECT_EQ(controller->run_held_work(), 1u);
    EXPECT_EQ(ran, 1);

    const auto pub = controller->published();
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(pub[0].type, 5188);
    EXPECT_EQ(pub[0].image, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(pub[0].flag);
    ASSERT_EQ(controller->saved().size(), 1u);
    EXPECT_EQ(controller->saved()[0].image, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(controller->evaluated().size(), 1u);
}

TEST_F(HostCore, LineOperationsReachTheController) {
    controller->poll_allowed = false;
    EXPECT_FALSE(device->RefreshStatus());
    controller->poll_allowed = true;
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_TRUE(device->IsProcessing());
    device->Reset();
    EXPECT_FALSE(device->IsProcessing());
    const uint8_t bytes[] = {0x7E, 0x0D};
    EXPECT_EQ(device->SendData(bytes, 2), 2);
    EXPECT_EQ(controller->poll_requests(), 2u);
    EXPECT_EQ(controller->exchanges_ended(), 1u);
    EXPECT_EQ(controller->line_writes(), (std::vector<std::vector<uint8_t>>{{0x7E, 0x0D}}));
}

TEST_F(HostCore, InitVTakesIdAndParentsController) {
    auto child = std::make_shared<PlainDevice>();
    Json::Value config;
    config["data_id"] = 9;
    EXPECT_TRUE(child->InitV(device.get(), 9, config));
    EXPECT_EQ(child->data_id, 9u);
    EXPECT_EQ(child->controller.lock(), controller);
    const auto init = controller->initialised();
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].id, 9u);
    EXPECT_EQ(init[0].parent, device.get());
    EXPECT_EQ(init[0].config["data_id"].asInt(), 9);
    controller->accept_devices = false;
    EXPECT_FALSE(child->InitV(device.get(), 10, config));
}

TEST_F(HostCore, ExpiredControllerMakesEveryOperationDoNothing) {
    controller.reset();  // the device's weak pointer expires
    const uint8_t image[] = {1};
    device->SendSP(1, image, 1, false);
    device->SaveDeviceHistory(image, 1);
    EXPECT_TRUE(device->CheckThresholdBool(1, "X", "Y", "Z", "W", true, 1));
    EXPECT_TRUE(device->rules.empty());
    EXPECT_FALSE(device->DoBatchCheckThreshold({}));
    bool ran = false;
    device->CheckThresholdWork([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_FALSE(device->RefreshStatus());
    EXPECT_EQ(device->SendData(image, 1), -1);
    device->InfoLog("nothing {}", 1);
    device->Reset();
}

TEST_F(HostCore, InfoLogTurnsArgumentsIntoDecimalText) {
    const uint8_t count = 10;
    device->InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", device->data_id, count, uint8_t{0});
    device->InfoLog("{} {} {} {}", -5, 2.5f, std::string("s"), "c");
    device->InfoLog("no placeholders");
    device->InfoLog("ProcotolError %u read 40_43 m is %d max %d", 42u, uint8_t{2}, uint8_t{1});
    const auto logs = controller->logs();
    ASSERT_EQ(logs.size(), 4u);
    EXPECT_EQ(logs[0].args, (std::vector<std::string>{"42", "10", "0"}));
    EXPECT_EQ(logs[0].text, "PMBusPowerAC:ProcotolError 42 read 40_41 p is 10 not 0");
    EXPECT_EQ(logs[1].text, "-5 2.5 s c");
    EXPECT_EQ(logs[2].text, "no placeholders");
    EXPECT_EQ(logs[3].text, "ProcotolError %u read 40_43 m is %d max %d");  // passed unchanged
    EXPECT_EQ(logs[3].args, (std::vector<std::string>{"42", "2", "1"}));
}

TEST(LogFormat, KeepsArgumentsWhenFormatDoesNotFit) {
    EXPECT_EQ(format_log_message("a {} b {}", {"1"}), "a {} b {} [1]");
    EXPECT_EQ(format_log_message("bad {", {"1", "2"}), "bad { [1, 2]");
    EXPECT_EQ(format_log_message("{} {}", {"x", "y"}), "x y");
}

TEST(Ttime, IsYearLittleEndianThenMonthDayHourMinuteSecond) {
    using namespace boost::posix_time;
    using boost::gregorian::date;
    EXPECT_EQ(get_ttime(ptime(date(2026, 12, 8), hours(19) + minutes(5) + seconds(59))),
              (ttime_bytes{0xEA, 0x07, 12, 8, 19, 5, 59}));
    EXPECT_EQ(get_ttime(ptime(date(1999, 1, 31), hours(0))), (ttime_bytes{0xCF, 0x07, 1, 31, 0, 0, 0}));
    EXPECT_EQ(get_ttime(ptime()), ttime_bytes{});
}

namespace {

struct EchoMaster : PMBusProtocol {
    std::vector<std::vector<uint8_t>> seen;
    bool LoadFromCache(const uint8_t*, int) override { return false; }
    int process_payload() override {
        const unsigned info = (rx_frame[4] | rx_frame[5] << 8) / 2;
        seen.emplace_back(rx_frame, rx_frame + 6 + info);
        write_pmbus_cmd(0x40, 0x43);
        return 1;
    }
};

}  // namespace

TEST(PMBusProtocolHost, DeliversOnlyDecodedAnswersThatHoldTheirInfo) {
    auto controller = std::make_shared<RecordingController>();
    auto master = std::make_shared<EchoMaster>();
    master->controller = controller;
    std::vector<uint8_t> good = {0x20, 0x01, 0x40, 0x00, 0x04, 0x00, 0xAA, 0xBB};
    EXPECT_EQ(master->process(good.data(), static_cast<unsigned>(good.size())), 1);
    std::vector<uint8_t> short_info = {0x20, 0x01, 0x40, 0x00, 0x06, 0x00, 0xAA, 0xBB};
    EXPECT_EQ(master->process(short_info.data(), static_cast<unsigned>(short_info.size())), -1);
    EXPECT_EQ(master->process(good.data(), 5), -1);
    EXPECT_EQ(master->seen, (std::vector<std::vector<uint8_t>>{good}));
    EXPECT_EQ(master->line_errors, 2u);
    EXPECT_EQ(master->rx_frame, nullptr);
    const uint8_t group = 0xFF;
    master->write_pmbus_cmd(0x41, 0x41, &group, 1);
    const auto cmds = controller->commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].cid2, 0x43);
    EXPECT_TRUE(cmds[0].info.empty());
    EXPECT_EQ(cmds[1].info, (std::vector<uint8_t>{0xFF}));
}

TEST(PMBusProtocolHost, InitSettingReadsLineKeysAndRefusesMalformedOnes) {
    struct Case { const char* json; bool ok; };
    const std::vector<Case> cases = {
        {R"({})", true},
        {R"({"port": "/dev/ttyS1", "baud_rate": 19200, "address": 3, "protocol_ver": 33, "answer_timeout_ms": 500})", true},
        {R"({"port": 5})", false},
        {R"({"address": 256})", false},
        {R"({"protocol_ver": -1})", false},
        {R"({"baud_rate": "fast"})", false},
        {R"({"baud_rate": 1000})", false},  // no rate a serial line can be set to
        {R"({"answer_timeout_ms": 0})", false},
        {R"([1])", false},
    };
    for (const auto& c : cases) {
        EchoMaster m;
        const Json::Value config = parse_json(c.json);
        EXPECT_EQ(m.InitSetting(config), c.ok) << c.json;
    }
    EchoMaster m;
    const Json::Value config = parse_json(R"({"port": "/dev/ttyS1", "baud_rate": 19200, "address": 3, "protocol_ver": 33})");
    ASSERT_TRUE(m.InitSetting(config));
    EXPECT_EQ(m.port, "/dev/ttyS1");
    EXPECT_EQ(m.baud_rate, 19200);
    EXPECT_EQ(m.address, 3);
    EXPECT_EQ(m.protocol_ver, 0x21);
}

}  // namespace
