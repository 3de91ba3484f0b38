// voka-host config check: what a start refuses before it opens anything, the check
// refuses too, naming it; what a start waits for (a port not there yet) it
// accepts, as it opens nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/voka-host/plugin_library.h"
#include "host/voka-host/site_check.h"
#include "tests/support/json.h"

namespace {

SiteConfig site_of_members(const std::string& members) {
    return site_config_from_json(parse_json(R"({"power_systems": [{"name": "hall", "data_id": 1, )"
                                            R"("acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], )"
                                            R"("rcSetting": {})" + members + "}]}"),
                                 "site.json");
}

}  // namespace

TEST(SiteCheck, RefusesWhatAStartRefusesAndAcceptsAPortNotThereYet) {
    const PluginLibrary plugin(VOKA_SO_PATH);
    struct Case {
        const char* members;
        const char* named;  // in the refusal
    };
    const std::vector<Case> refused = {
        {R"(, "device_type": "no-such-master")", "makes no \"no-such-master\" master"},
        {R"(, "port": "/dev/ttyS1", "baud_rate": 1200, "answer_timeout_ms": 100)", "answer_timeout_ms 100"},
        {R"(, "scenario": "/nonexistent/scenario.json")", "/nonexistent/scenario.json"},
    };
    for (const Case& c : refused) {
        try {
            check_site(site_of_members(c.members), plugin);
            ADD_FAILURE() << "accepted: " << c.members;
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
    }
    EXPECT_NO_THROW(check_site(site_of_members(R"(, "port": "/dev/ttyNOT-THERE")"), plugin));
}
