// voka-host probe against voka-sim on a pseudo-terminal, as a site engineer
// uses it: the simulator at address 7 and 19200 baud, deaf at other rates;
// what the probe prints runs as a site as it is.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/probe/site_element.h"
#include "tests/support/child_process.h"
#include "tests/support/json.h"

namespace {

namespace fs = std::filesystem;

const std::string kSimListening = "voka-sim: listening on ";
// A loaded test machine may be slower to answer than equipment is.
const std::string kPatient = "1000";

// Two AC units (the first with two channels), two DC units, four modules.
const std::string kScenario = R"({"equipment": {"address": 1, "baud_rate": 9600},
  "site": {"ac": [{"channels": [{}, {}]}, {}], "dc": [{}, {}], "modules": [{}, {}, {}, {}]}})";

struct ProbeSim : ChildProcess {
    std::string port;
    explicit ProbeSim(const std::string& scenario_file, const std::string& address = "7")
        : ChildProcess(VOKA_SIM_PATH, {scenario_file, "--address", address, "--baud", "19200", "--match-baud"}) {
        const std::string first = next_line().value_or("");
        EXPECT_EQ(first.rfind(kSimListening, 0), 0u) << first;
        port = first.substr(std::min(first.size(), kSimListening.size()));
    }
    ~ProbeSim() { signal(SIGTERM); }
};

// A file of this test's own (tests may run at once), written anew.
std::string test_file(const std::string& name, const std::string& text = "") {
    const fs::path path = fs::path(testing::TempDir()) /
                          (std::string("voka-probe-") + testing::UnitTest::GetInstance()->current_test_info()->name() +
                           "-" + name);
    fs::remove(path);
    if (!text.empty()) std::ofstream(path) << text;
    return path.string();
}

// The element the probe printed: from its "{" line to its "}" line.
std::string printed_element(const std::vector<std::string>& lines) {
    std::string element;
    bool inside = false;
    for (const auto& l : lines) {
        inside = inside || l == "{";
        if (inside) element += l + "\n";
        if (inside && l == "}") break;
    }
    return element;
}

}  // namespace

TEST(HostProbe, FindsTheSimulatorAndPrintsAnElementThatRuns) {
    ProbeSim sim(test_file("scenario.json", kScenario));
    ChildProcess probe(VOKA_HOST_PATH, {"probe", "--port", sim.port, "--address", "7", "--answer-start-ms", kPatient});
    const auto lines = probe.remaining_lines();
    ASSERT_EQ(probe.exit_status(), 0) << probe.errors();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "found address 7, 19200 baud: 4 rectifier modules, 2 AC units, 2 DC units");

    const Json::Value element = parse_json(printed_element(lines));
    EXPECT_EQ(element["port"].asString(), sim.port);
    EXPECT_EQ(element["baud_rate"].asInt(), 19200);
    EXPECT_EQ(element["address"].asInt(), 7);
    EXPECT_EQ(element["acSetting"].size(), 2u);
    EXPECT_EQ(element["dcSetting"].size(), 2u);
    EXPECT_TRUE(element["rcSetting"].isObject());

    Json::Value ps = element;
    ps["poll_interval_ms"] = 0;
    const std::string site = test_file("site.json", R"({"power_systems": [)" + ps.toStyledString() + "]}");
    ChildProcess host(VOKA_HOST_PATH, {site, "--json", "--rounds", "1", "--db", test_file("history.db")});
    unsigned complete = 0;
    for (const auto& line : host.remaining_lines()) {
        const Json::Value e = parse_json(line);
        complete += e["event"].asString() == "round" && e["complete"].asBool();
    }
    EXPECT_EQ(host.exit_status(), 0) << host.errors();
    EXPECT_EQ(complete, 1u);
}

TEST(HostProbe, SaysWhatItTriedWhenNothingAnswers) {
    ProbeSim sim(test_file("scenario.json", kScenario));
    struct Case { std::vector<std::string> args; std::string message; };
    const std::vector<Case> cases = {
        {{"--address", "8", "--baud", "19200"}, "nothing answered on " + sim.port + " at 19200 baud, address 8"},
        {{"--address", "7", "--baud", "9600", "--baud", "4800"}, "at 9600, 4800 baud, address 7"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"probe", "--port", sim.port, "--answer-start-ms", kPatient};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess probe(VOKA_HOST_PATH, args);
        EXPECT_TRUE(probe.remaining_lines().empty());
        EXPECT_EQ(probe.exit_status(), 1);
        const std::string errors = probe.errors();
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
    }
}

// A scan goes on after a find (another power system may share the line) until
// Ctrl-C, which ends it cleanly with what was found. The simulator at address
// 2: each silent address before it costs the patient answer time.
TEST(HostProbe, ScanStopsCleanlyOnInterrupt) {
    ProbeSim sim(test_file("scenario.json", kScenario), "2");
    ChildProcess probe(VOKA_HOST_PATH, {"probe", "--port", sim.port, "--baud", "19200", "--scan-addresses", "--answer-start-ms", kPatient});
    const auto found = probe.next_line(20'000);
    ASSERT_TRUE(found) << probe.errors();
    EXPECT_EQ(found->rfind("found address 2, 19200 baud", 0), 0u) << *found;
    probe.signal(SIGINT);
    EXPECT_EQ(probe.exit_status(5'000), 0);
    EXPECT_NE(probe.errors().find("probing " + sim.port + " at 19200 baud, 254 addresses"), std::string::npos);
}

TEST(SiteElement, NumbersDevicesWithoutClashes) {
    struct Case { unsigned ac, dc; std::vector<unsigned> ids; };
    const std::vector<Case> cases = {
        {0, 0, {}}, {1, 1, {11, 21}}, {2, 2, {11, 12, 21, 22}}, {10, 1, {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 31}},
    };
    for (const auto& c : cases) {
        probe::Finding f;
        f.baud_rate = 9600;
        f.address = 1;
        f.ac_units = c.ac;
        f.dc_units = c.dc;
        const Json::Value e = parse_json(probe::site_element(f, "/dev/tty\"S1"));
        EXPECT_EQ(e["port"].asString(), "/dev/tty\"S1");
        EXPECT_EQ(e["data_id"].asUInt(), 1u);
        std::vector<unsigned> ids;
        for (const char* list : {"acSetting", "dcSetting"})
            for (const auto& child : e[list]) ids.push_back(child["data_id"].asUInt());
        EXPECT_EQ(ids, c.ids) << c.ac << " AC, " << c.dc << " DC";
    }
}
