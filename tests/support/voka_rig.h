#pragma once
// A "voka" master configured with real children, wired to a recording
// controller, and answered from a simulated site.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/power/voka.h"
#include "simulator/answers.h"
#include "tests/support/decoded_answer.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

struct VokaRig {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<VOKA> master = std::make_shared<VOKA>();
    sim::Site site;

    // One AC device (11), one DC device (21) and the rectifier, unless told otherwise.
    explicit VokaRig(const std::string& config = R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}],
                                                     "rcSetting": {}})") {
        master->controller = controller;
        master->data_id = 1;
        configured = master->InitSetting(parse_json(config));
    }

    // Hands the master a decoded answer; the result of process().
    int answer(uint8_t cid1, const std::vector<uint8_t>& info) {
        auto frame = decoded_answer(cid1, info);
        return master->process(frame.data(), static_cast<unsigned>(frame.size()));
    }
    // The site's INFO for the last command sent.
    std::vector<uint8_t> site_info() const {
        const auto cmd = controller->commands().back();
        auto info = sim::answer_info(site, sim::CommandSet::voka, cmd.cid1, cmd.cid2);
        EXPECT_TRUE(info.has_value());
        return info.value_or(std::vector<uint8_t>{});
    }
    // Answers the last command as the site would.
    int answer_as_site() { return answer(controller->commands().back().cid1, site_info()); }
    // Polls and answers until the round ends; the number of answers given.
    int run_round(int limit = 20) {
        EXPECT_TRUE(master->RefreshStatus());
        for (int n = 1; n <= limit; ++n)
            if (answer_as_site() == 0) return n;
        ADD_FAILURE() << "round did not end";
        return limit;
    }
    std::vector<std::string> log_texts() const { return controller->log_texts(); }

    bool configured = false;
};
