// The master's configuration: which children it makes, with which ids, and
// how the host finds them; a malformed configuration never throws.
#include <gtest/gtest.h>

#include "plugin/power/pmbus_power.h"
#include "tests/support/fake_children.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

namespace {

using Master = PMBusPower<FakeAC, FakeDC, FakeRC>;

struct Configured {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Master> master = std::make_shared<Master>(std::vector<std::string>{"m1"});
    bool result = false;
    explicit Configured(const std::string& json) {
        master->controller = controller;
        master->data_id = 500;
        result = master->InitSetting(parse_json(json));
    }
    std::vector<unsigned> all_ids() {
        std::vector<unsigned> ids;
        for (const auto& d : master->GetAllChildVDevices()) ids.push_back(d->DataId());
        return ids;
    }
};

}  // namespace

TEST(MasterConfig, MakesChildrenInConfigurationOrder) {
    Configured c(R"({"acSetting": [{"data_id": 11}, {"data_id": 12}], "dcSetting": [{"data_id": 21}],
                    "rcSetting": {"x": 1}})");
    EXPECT_TRUE(c.result);
    EXPECT_EQ(c.all_ids(), (std::vector<unsigned>{11, 12, 21, 500}));
    const auto all = c.master->GetAllChildVDevices();
    EXPECT_EQ(all[3], c.master->rc_device);
    EXPECT_EQ(c.master->rc_device->data_id, 500u);  // the rectifier carries the master's id
    EXPECT_EQ(c.master->GetChildVDevice(21), c.master->dc_devices[0]);
    EXPECT_EQ(c.master->GetChildVDevice(12), c.master->ac_devices[1]);
    EXPECT_EQ(c.master->GetChildVDevice(500), nullptr);
    EXPECT_EQ(c.master->GetChildVDevice(99), nullptr);
    // Children reach the master's controller, and each got its own element.
    const auto init = c.controller->initialised();
    ASSERT_EQ(init.size(), 4u);
    EXPECT_EQ(init[1].config["data_id"].asUInt(), 12u);
    EXPECT_EQ(init[3].config["x"].asInt(), 1);
    EXPECT_EQ(init[0].parent, c.master.get());
    EXPECT_EQ(c.master->dc_devices[0]->model_text, "");  // no model read yet
}

TEST(MasterConfig, AnAcChildWinsOverADcChildWithTheSameId) {
    Configured c(R"({"acSetting": [{"data_id": 7}], "dcSetting": [{"data_id": 7}], "rcSetting": 1})");
    EXPECT_EQ(c.master->GetChildVDevice(7), c.master->ac_devices[0]);
}

TEST(MasterConfig, HandlesMissingAndMalformedParts) {
    struct Case {
        const char* json;
        bool result;
        std::vector<unsigned> ids;  // all children, rectifier last
        size_t logs;
    };
    const std::vector<Case> cases = {
        {R"({"acSetting": {"data_id": 1}, "rcSetting": {}})", true, {500}, 0},  // object, not array
        {R"({"acSetting": [{"data_id": 1}], "dcSetting": [{"data_id": 2}]})", false, {1, 2}, 0},
        {R"({"acSetting": [{"data_id": 1}], "rcSetting": null})", false, {1}, 0},
        {R"({"acSetting": [5, "x", [1], null, {}], "rcSetting": {}})", true, {0, 0, 0, 0, 0, 500}, 4},
        {R"({"dcSetting": [{"data_id": -1}, {"data_id": "12"}, {"data_id": 4294967296},
             {"data_id": 1.5}, {"data_id": 4294967295}], "rcSetting": {}})",
         true, {0, 0, 0, 0, 4294967295u, 500}, 4},
        {R"([1, 2])", false, {}, 0},
        {R"("text")", false, {}, 0},
        {R"(null)", false, {}, 0},
        {R"({"rcSetting": {}, "port": 5})", false, {}, 0},  // the line settings refuse it first
    };
    for (const auto& k : cases) {
        std::unique_ptr<Configured> c;
        ASSERT_NO_THROW(c = std::make_unique<Configured>(k.json)) << k.json;
        EXPECT_EQ(c->result, k.result) << k.json;
        EXPECT_EQ(c->all_ids(), k.ids) << k.json;
        EXPECT_EQ(c->controller->logs().size(), k.logs) << k.json;
    }
}

TEST(MasterConfig, ASecondConfigurationAddsChildrenAndReplacesTheRectifier) {
    Configured c(R"({"acSetting": [{"data_id": 1}], "rcSetting": {}})");
    const auto first_rc = c.master->rc_device;
    EXPECT_TRUE(c.master->InitSetting(parse_json(R"({"acSetting": [{"data_id": 2}], "rcSetting": {}})")));
    EXPECT_EQ(c.all_ids(), (std::vector<unsigned>{1, 2, 500}));
    EXPECT_NE(c.master->rc_device, first_rc);
}

TEST(MasterConfig, KeepsNoRecordOfItsOwn) {
    Configured c(R"({"rcSetting": {}})");
    EXPECT_TRUE(c.master->LoadFromCache(nullptr, 0));
    EXPECT_THROW(c.master->Get_Value(0, "ia"), std::out_of_range);
}
