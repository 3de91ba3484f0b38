// A module added to a running rectifier shelf, through the simulated line and
// the real master: the first two rounds that see it are refused, the third
// takes the new count, and from then on every round completes with it.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simulator/scenario.h"
#include "simulator/simulated_line.h"
#include "tests/support/sim_host.h"

TEST(RcModuleChange, AModuleAddedMidRunIsTakenAfterThreeWellFormedAnswers) {
    sim::SimulatedLine line(sim::parse_scenario(R"({"changes": [
        {"from_round": 3, "set": {"modules": [{}, {}, {}, {"current": 4}]}}]})", "t.json"), false);
    LineHost host(line, 60);
    ASSERT_TRUE(host.configured);
    const std::vector<ExchangeEnd> ends = {ExchangeEnd::answered, ExchangeEnd::answered, ExchangeEnd::refused,
                                           ExchangeEnd::refused,  ExchangeEnd::answered, ExchangeEnd::answered};
    for (size_t i = 0; i < ends.size(); ++i) {
        EXPECT_EQ(host.run_round(), ends[i]) << "round " << i + 1;
        EXPECT_EQ(host.master->rc_device->modules().size(), i < 4 ? 3u : 4u) << "round " << i + 1;
    }
    EXPECT_FLOAT_EQ(host.module_current(3), 4.0f);
    const auto published = host.controller->published();
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(published.back().image.size(), 147u + 4 * 16);
    const auto logs = host.controller->log_texts();
    EXPECT_EQ(std::count(logs.begin(), logs.end(),
                         "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 1 read 41_41 module count is now 4, was 3"),
              1);
}
