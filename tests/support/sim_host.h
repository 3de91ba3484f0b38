#pragma once
// A "voka" master with real children, driven over a byte line the way the
// host drives it: its commands go to a line exchange, which sends them and
// hands it the answers.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/line/line_exchange.h"
#include "plugin/power/voka.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

struct LineHost {
    struct Controller : RecordingController {
        void send_command(PMBusProtocol& d, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) override {
            RecordingController::send_command(d, cid1, cid2, info);
            exchange->submit(cid1, cid2, info);
        }
        LineExchange* exchange = nullptr;
    };

    // One AC device (11), one DC device (21) and the rectifier, unless told otherwise.
    explicit LineHost(ByteLine& line, int answer_timeout_ms = 200,
                      const std::string& config = R"({"acSetting": [{"data_id": 11}],
                                                      "dcSetting": [{"data_id": 21}], "rcSetting": {}})")
        : exchange(line, [this](std::string_view t) { logs.emplace_back(t); }) {
        controller->exchange = &exchange;
        master->controller = controller;
        master->data_id = 1;
        configured = master->InitSetting(parse_json(config));
        master->answer_timeout_ms = answer_timeout_ms;
    }

    // Starts a round and runs its exchange to the end.
    ExchangeEnd run_round() {
        EXPECT_TRUE(master->RefreshStatus());
        return exchange.run(*master);
    }
    float ac(const std::string& key) const { return master->GetChildVDevice(11)->Get_Value(11, key); }
    float dc(const std::string& key) const { return master->GetChildVDevice(21)->Get_Value(21, key); }
    float module_current(size_t i) const { return master->rc_device->modules().at(i).current; }
    uint8_t module_fault(size_t i) const { return master->rc_device->modules().at(i).fault; }

    std::vector<std::string> logs;
    LineExchange exchange;
    std::shared_ptr<Controller> controller = std::make_shared<Controller>();
    std::shared_ptr<VOKA> master = std::make_shared<VOKA>();
    bool configured = false;
};
