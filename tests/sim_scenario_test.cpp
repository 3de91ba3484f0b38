// Scenario files: every part of the site and the schedule is read, omitted
// parts keep the model's defaults, the site of each round follows the
// changes in force, and every mistake is reported with file, place and problem.
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "simulator/scenario.h"

namespace {

using sim::parse_scenario;
using sim::ScenarioError;

TEST(SimScenario, ReadsEveryPartOfTheSiteAndTheEquipment) {
    const auto s = parse_scenario(R"({
      "description": "all parts",
      "equipment": {"address": "0x7F", "command_set": "general", "baud_rate": 19200, "answer_delay_ms": 35},
      "site": {
        "ac_dataflag": 1, "rc_dataflag": "0x10", "dc_dataflag": 0,
        "ac": [{"channels": [{"a": 201, "b": 202, "c": 203, "f": 49.5, "alerts": [1, 2, 3, 0]},
                             {"a": 204}],
                "ia": 1.5, "ib": 2.5, "ic": 3.5, "current_alerts": [0, 2, 0], "airlocks": []}],
        "dc": [{"v": 48.1, "i": 7.5, "battery_currents": [0.5, -1.5, 2, 3], "v_state": 1},
               {"v": 47}],
        "output_voltage": 54.25,
        "modules": [{"current": 1, "user_value": 2, "status": [1, 0, 1], "user_status": 9, "fault": 1}],
        "ac_params": [1, 2, 3, 4, 5], "dc_params": [6, 7],
        "user_params": [255, 1],
        "model": "ABCDEFGHIJKLMNOPQRST"
      }})",
                                  "all.json");
    EXPECT_EQ(s.file, "all.json");
    EXPECT_EQ(s.equipment.address, 0x7F);
    EXPECT_EQ(s.equipment.command_set, sim::CommandSet::general);
    EXPECT_EQ(s.equipment.baud_rate, 19200);
    EXPECT_EQ(s.equipment.answer_delay_ms, 35);
    const sim::Site& site = s.site;
    EXPECT_EQ(site.ac_dataflag, 1);
    EXPECT_EQ(site.rc_dataflag, 0x10);
    EXPECT_EQ(site.dc_dataflag, 0);
    ASSERT_EQ(site.ac.size(), 1u);
    ASSERT_EQ(site.ac[0].channels.size(), 2u);
    EXPECT_FLOAT_EQ(site.ac[0].channels[0].c, 203);
    EXPECT_FLOAT_EQ(site.ac[0].channels[0].f, 49.5f);
    EXPECT_EQ(site.ac[0].channels[0].alerts, (std::array<uint8_t, 4>{1, 2, 3, 0}));
    EXPECT_FLOAT_EQ(site.ac[0].channels[1].a, 204);
    EXPECT_FLOAT_EQ(site.ac[0].channels[1].b, 230);  // a new entry starts from the model's defaults
    EXPECT_FLOAT_EQ(site.ac[0].ic, 3.5f);
    EXPECT_EQ(site.ac[0].current_alerts, (std::array<uint8_t, 3>{0, 2, 0}));
    EXPECT_TRUE(site.ac[0].airlocks.empty());
    ASSERT_EQ(site.dc.size(), 2u);
    EXPECT_EQ(site.dc[0].battery_currents, (std::vector<float>{0.5f, -1.5f, 2, 3}));
    EXPECT_EQ(site.dc[0].v_state, 1);
    EXPECT_FLOAT_EQ(site.dc[1].v, 47);
    EXPECT_FLOAT_EQ(site.dc[1].i, 20);
    EXPECT_FLOAT_EQ(site.output_voltage, 54.25f);
    ASSERT_EQ(site.modules.size(), 1u);
    EXPECT_FLOAT_EQ(site.modules[0].user_value, 2);
    EXPECT_EQ(site.modules[0].status, (std::array<uint8_t, 3>{1, 0, 1}));
    EXPECT_EQ(site.modules[0].user_status, 9);
    EXPECT_EQ(site.modules[0].fault, 1);
    EXPECT_EQ(site.ac_params, (std::array<float, 5>{1, 2, 3, 4, 5}));
    EXPECT_EQ(site.dc_params, (std::array<float, 2>{6, 7}));
    EXPECT_EQ(site.user_params[0], 255);
    EXPECT_EQ(site.user_params[1], 1);
    EXPECT_EQ(site.user_params[2], 0);
    EXPECT_STREQ(site.model, "ABCDEFGHIJKLMNOPQRST");
}

TEST(SimScenario, AnEmptyScenarioIsTheDefaultSiteOnTheVokaSet) {
    const auto s = parse_scenario("{}", "empty.json");
    EXPECT_EQ(s.equipment.address, 1);
    EXPECT_EQ(s.equipment.command_set, sim::CommandSet::voka);
    EXPECT_EQ(s.equipment.baud_rate, 9600);
    EXPECT_EQ(s.site.modules.size(), 3u);
    EXPECT_TRUE(s.changes.empty());
    EXPECT_TRUE(s.faults.empty());
}

// Later changes in the file win; a change ends with its range; one may build
// on another (modules[3] exists only while the change that adds it is in force).
TEST(SimScenario, TheSiteOfEachRoundHasTheChangesInForceAppliedInFileOrder) {
    const auto s = parse_scenario(R"({"changes": [
        {"from_round": 2, "until_round": 4, "set": {"modules[0].current": 1}},
        {"from_round": 3, "set": {"modules[0].current": 2, "dc[0].v": 50}},
        {"from_round": 6, "until_round": 7, "set": {"modules": [{}, {}, {}, {"current": 4}]}},
        {"from_round": 7, "until_round": 7, "set": {"modules[3].fault": 1, "ac[0].channels[0].alerts[2]": 3}}]})",
                                  "c.json");
    struct Expect {
        unsigned round;
        float current0;
        float dc_v;
        size_t modules;
        uint8_t fault3;  // of modules[3], when there is one
        uint8_t alert_c;
    };
    const std::vector<Expect> expected = {
        {0, 10, 53.5f, 3, 0, 0}, {1, 10, 53.5f, 3, 0, 0}, {2, 1, 53.5f, 3, 0, 0}, {3, 2, 50, 3, 0, 0},
        {4, 2, 50, 3, 0, 0},     {5, 2, 50, 3, 0, 0},     {6, 10, 50, 4, 0, 0},   {7, 10, 50, 4, 1, 3},
        {8, 2, 50, 3, 0, 0},
    };
    for (const Expect& e : expected) {
        const sim::Site site = s.site_at(e.round);
        EXPECT_FLOAT_EQ(site.modules[0].current, e.current0) << "round " << e.round;
        EXPECT_FLOAT_EQ(site.dc[0].v, e.dc_v) << "round " << e.round;
        ASSERT_EQ(site.modules.size(), e.modules) << "round " << e.round;
        if (e.modules > 3) {
            EXPECT_EQ(site.modules[3].fault, e.fault3) << "round " << e.round;
        }
        EXPECT_EQ(site.ac[0].channels[0].alerts[2], e.alert_c) << "round " << e.round;
    }
    EXPECT_FLOAT_EQ(s.site.modules[0].current, 10);  // the starting site stays as read
}

struct BadCase {
    const char* name;
    std::string json;
    std::string place;
    std::string problem;  // the start of the problem text
};

std::string repeat(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// One AC unit with 255 channels: 17 bytes each as floats, far beyond a frame.
std::string wide_general_site() {
    return R"({"equipment": {"command_set": "general"}, "site": {"ac": [{"channels": [{})" + repeat(",{}", 254) +
           "]}]}}";
}

TEST(SimScenario, ReportsEachMistakeWithItsPlaceAndProblem) {
    const std::vector<BadCase> cases = {
        {"not JSON", "{\"site\": {\n  \"ac\": [,]}}", "line 2, column 10", "Syntax error"},
        {"duplicate key", R"({"site": {}, "site": {}})", "line 1, column 14", "Duplicate key: 'site'"},
        {"not an object", "[]", "", "expected an object, got a list"},
        {"unknown top-level member", R"({"sites": {}})", "sites",
         "unknown member; known here: description, equipment, site, changes, faults"},
        {"description not text", R"({"description": 1})", "description", "expected a text, got 1"},
        {"command set", R"({"equipment": {"command_set": "fast"}})", "equipment.command_set",
         R"(expected "voka" or "general", got "fast")"},
        {"address too large", R"({"equipment": {"address": 256}})", "equipment.address",
         "expected an integer from 0 to 255 (or a hex string such as \"0x11\"), got 256"},
        {"address bad hex", R"({"equipment": {"address": "0x1G"}})", "equipment.address",
         "expected an integer from 0 to 255"},
        {"baud rate", R"({"equipment": {"baud_rate": 9600.5}})", "equipment.baud_rate",
         "expected an integer from 50 to 4000000, got 9600.5"},
        {"unknown equipment member", R"({"equipment": {"adress": 1}})", "equipment.adress", "unknown member"},
        {"number as text", R"({"site": {"ac": [{"channels": [{"a": "230"}]}]}})", "site.ac[0].channels[0].a",
         R"(expected a number, got "230")"},
        {"boolean is no number", R"({"site": {"output_voltage": true}})", "site.output_voltage",
         "expected a number, got true"},
        {"unknown site member", R"({"site": {"modules": [{"faul": 1}]}})", "site.modules[0].faul",
         "unknown member; known here: current, user_value, status, user_status, fault"},
        {"list expected", R"({"site": {"dc": {"v": 1}}})", "site.dc", "expected a list, got an object"},
        {"object expected", R"({"site": {"dc": [5]}})", "site.dc[0]", "expected an object, got 5"},
        {"fixed array size", R"({"site": {"ac_params": [1, 2, 3, 4]}})", "site.ac_params",
         "expected 5 entries, got 4"},
        {"byte out of range", R"({"site": {"modules": [{"status": [0, -1, 0]}]}})", "site.modules[0].status[1]",
         "expected an integer from 0 to 255"},
        {"user params too long", R"({"site": {"user_params": [0)" + repeat(",0", 102) + "]}}", "site.user_params",
         "expected at most 102 entries, got 103"},
        {"model too long", R"({"site": {"model": "ABCDEFGHIJKLMNOPQRSTU"}})", "site.model",
         "at most 20 characters, got 21"},
        {"site refused by the plug-in", R"({"site": {"ac": [{}, {}]}})", "site",
         "the site would be refused: the first AC unit must have as many channels as there are AC units"},
        {"too many battery groups", R"({"site": {"dc": [{"battery_currents": [1, 2, 3, 4, 5]}]}})", "site",
         "the site would be refused: each DC unit has at most 4 battery groups"},
        {"answer too long for a frame", wide_general_site(), "site",
         "the site: the answer to CID1 0x40 CID2 0x41 needs 4350 INFO bytes, more than a frame carries (2047)"},
        {"changes not a list", R"({"changes": {}})", "changes", "expected a list, got an object"},
        {"change without set", R"({"changes": [{"from_round": 1}]})", "changes[0]", "expected \"set\""},
        {"change with empty set", R"({"changes": [{"set": {}}]})", "changes[0].set", "expected \"set\""},
        {"bad path", R"({"changes": [{"set": {"modules[x].fault": 1}}]})", "changes[0].set",
         R"(path "modules[x].fault": expected an index at character 9)"},
        {"path with a dangling dot", R"({"changes": [{"set": {"dc[0].": 1}}]})", "changes[0].set",
         R"(path "dc[0].": expected a member name at character 7)"},
        {"index past the list", R"({"changes": [{"from_round": 2, "set": {"modules[3].fault": 1}}]})",
         "changes[0].set.modules[3]", "no such entry: the list has 3 (in round 2)"},
        {"name where an index belongs", R"({"changes": [{"set": {"modules.fault": 1}}]})",
         "changes[0].set.modules.fault", "no such part: expected an index"},
        {"parts of a number", R"({"changes": [{"set": {"output_voltage.x": 1}}]})",
         "changes[0].set.output_voltage.x", "no such part: this value has no parts"},
        {"value of a change", R"({"changes": [{"set": {"modules[0].fault": 1.5}}]})",
         "changes[0].set.modules[0].fault", "expected an integer from 0 to 255"},
        {"range backwards", R"({"changes": [{"from_round": 5, "until_round": 4, "set": {"dc[0].v": 1}}]})",
         "changes[0].until_round", "round 4 comes before from_round 5"},
        {"negative round", R"({"changes": [{"from_round": -1, "set": {"dc[0].v": 1}}]})", "changes[0].from_round",
         "expected an integer from 0 to"},
        {"change makes a refused site", R"({"changes": [{"from_round": 4, "set": {"ac": [{}, {}]}}]})",
         "changes[0].set", "in round 4 the site would be refused: the first AC unit must have"},
        {"fault without kind", R"({"faults": [{"from_round": 1}]})", "faults[0]", "expected \"kind\""},
        {"unknown fault", R"({"faults": [{"kind": "garbage"}]})", "faults[0].kind",
         "unknown fault \"garbage\"; known: bad_checksum, no_answer, wrong_unit_count, noise, truncated, "
         "error_rtn, delay"},
        {"option of another kind", R"({"faults": [{"kind": "noise", "rtn": 4}]})", "faults[0].rtn",
         "rtn applies only to error_rtn faults"},
        {"RTN zero", R"({"faults": [{"kind": "error_rtn", "rtn": 0}]})", "faults[0].rtn",
         "expected an integer from 1 to 255"},
        {"delay without its length", R"({"faults": [{"kind": "delay"}]})", "faults[0]",
         "a delay fault needs \"delay_ms\""},
        {"command code", R"({"faults": [{"kind": "no_answer", "cid1": "40"}]})", "faults[0].cid1",
         "expected an integer from 0 to 255"},
        {"unknown fault member", R"({"faults": [{"kind": "no_answer", "round": 3}]})", "faults[0].round",
         "unknown member"},
        {"nested too deeply for the reader", "{\"site\": " + std::string(2000, '['), "text",
         "Exceeded stackLimit in readValue()"},
        {"answers of a fault", R"({"faults": [{"kind": "no_answer", "answers": 0}]})", "faults[0].answers",
         "expected an integer from 1 to 1000000"},
    };
    for (const BadCase& c : cases) {
        try {
            parse_scenario(c.json, "bad.json");
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const ScenarioError& e) {
            EXPECT_EQ(e.file(), "bad.json") << c.name;
            EXPECT_EQ(e.place(), c.place) << c.name;
            EXPECT_EQ(e.problem().substr(0, c.problem.size()), c.problem) << c.name << ": " << e.problem();
            const std::string what = c.place.empty() ? fmt::format("bad.json: {}", e.problem())
                                                     : fmt::format("bad.json: {}: {}", c.place, e.problem());
            EXPECT_EQ(e.what(), what) << c.name;
        }
    }
}

TEST(SimScenario, AFileThatCannotBeReadIsNamed) {
    try {
        sim::load_scenario("/nonexistent/site.json");
        ADD_FAILURE() << "loaded";
    } catch (const ScenarioError& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/site.json: cannot read: No such file or directory");
    }
}

TEST(SimScenario, BundledScenariosLoad) {
    for (const char* name : {"example-site.json", "every-fault.json", "general-site.json"}) {
        const std::string path = std::string(VOKA_SCENARIO_DIR) + "/" + name;
        EXPECT_NO_THROW(sim::load_scenario(path)) << path;
    }
    const auto example = sim::load_scenario(std::string(VOKA_SCENARIO_DIR) + "/example-site.json");
    EXPECT_EQ(example.site_at(4).modules[1].fault, 0);
    EXPECT_EQ(example.site_at(5).modules[1].fault, 1);
    EXPECT_EQ(example.site_at(9).modules[1].fault, 0);
}

}  // namespace
