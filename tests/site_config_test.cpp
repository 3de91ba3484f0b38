// voka-host's site configuration: a usable one is read as written; any other
// is refused with the file, the place and the problem.
#include <gtest/gtest.h>

#include <algorithm>

#include <fmt/format.h>

#include "host/voka-host/host_options.h"
#include "host/voka-host/site_config.h"
#include "tests/support/config_refusal.h"
#include "tests/support/json.h"

namespace {

std::string refusal(const std::string& json) {
    return config_refusal([&] { site_config_from_json(parse_json(json), "site.json"); });
}

}  // namespace

TEST(SiteConfig, ReadsPowerSystemsAsWritten) {
    const auto site = site_config_from_json(parse_json(R"({"plugin": "/x/voka.so", "power_systems": [
        {"name": "hall", "data_id": 1, "port": "/dev/ttyS1", "poll_interval_ms": 2000, "baud_rate": 19200,
         "acSetting": [{"data_id": 11}], "rcSetting": {}},
        {"data_id": 2, "scenario": "s.json", "rcSetting": {}}]})"), "site.json");
    ASSERT_EQ(site.power_systems.size(), 2u);
    EXPECT_EQ(site.plugin, "/x/voka.so");
    const auto& a = site.power_systems[0];
    EXPECT_EQ(a.name, "hall");
    EXPECT_EQ(a.data_id, 1u);
    EXPECT_EQ(a.port, "/dev/ttyS1");
    EXPECT_EQ(a.poll_interval_ms, 2000);
    EXPECT_EQ(a.device_type, "voka");
    EXPECT_EQ(a.element["baud_rate"].asInt(), 19200);  // the master reads the element itself
    const auto& b = site.power_systems[1];
    EXPECT_EQ(b.name, "ps2");
    EXPECT_FALSE(b.port);
    EXPECT_EQ(b.scenario, "s.json");
}

// The page's title: the name given, else the file's name without folder and extension.
TEST(SiteConfig, NamesTheSiteAsGivenOrAfterItsFile) {
    const std::string one = R"("power_systems": [{"data_id": 1, "rcSetting": {}}])";
    struct Case { std::string json, source, name; } cases[] = {
        {"{\"name\": \"North exchange\", " + one + "}", "/etc/voka/site.json", "North exchange"},
        {"{" + one + "}", "/etc/voka/north-hall.json", "north-hall"},
        {"{" + one + "}", "relative.site.json", "relative.site"},
    };
    for (const Case& c : cases) EXPECT_EQ(site_config_from_json(parse_json(c.json), c.source).name, c.name) << c.json;
    EXPECT_EQ(refusal("{\"name\": \"\", " + one + "}"), "site.json: name: must be a non-empty string");
    EXPECT_EQ(refusal("{\"name\": 7, " + one + "}"), "site.json: name: must be a non-empty string");
}

TEST(SiteConfig, RefusesWhatAPowerSystemCannotRunWith) {
    struct Case { const char* json; const char* message; };
    const std::vector<Case> cases = {
        {R"([])", "site.json: (top): must be a JSON object"},
        {R"({})", "site.json: power_systems: is missing (at least one power system)"},
        {R"({"power_systems": []})", "site.json: power_systems: must be a non-empty array"},
        {R"({"power_systems": [5]})", "site.json: power_systems[0]: must be an object"},
        {R"({"power_systems": [{"rcSetting": {}}]})", "site.json: power_systems[0].data_id: is missing (the master's data id)"},
        {R"({"power_systems": [{"data_id": -1, "rcSetting": {}}]})",
         "site.json: power_systems[0].data_id: must be an integer from 0 to 4294967295"},
        {R"({"power_systems": [{"data_id": 1}]})",
         "site.json: power_systems[0].rcSetting: is missing (every power system has its rectifiers)"},
        {R"({"power_systems": [{"data_id": 1, "rcSetting": {}, "acSetting": {"data_id": 2}}]})",
         "site.json: power_systems[0].acSetting: must be an array of device settings"},
        {R"({"power_systems": [{"data_id": 1, "rcSetting": {}, "dcSetting": [{"id": 2}]}]})",
         "site.json: power_systems[0].dcSetting[0].id: is not a key of a device setting (data_id, appSetting)\n"
         "site.json: power_systems[0].dcSetting[0].data_id: is missing"},
        {R"({"power_systems": [{"data_id": 1, "rcSetting": {}, "address": 300}]})",
         "site.json: power_systems[0].address: must be an integer from 0 to 255"},
        {R"({"power_systems": [{"data_id": 1, "rcSetting": {}, "port": ""}]})",
         "site.json: power_systems[0].port: must be a non-empty string"},
        {R"({"power_systems": [{"data_id": 1, "rcSetting": {}, "port": "/dev/a"},
                               {"data_id": 2, "rcSetting": {}, "port": "/dev/a"}]})",
         "site.json: power_systems[1].port: is already used by power_systems[0]"},
    };
    for (const auto& c : cases) EXPECT_EQ(refusal(c.json), c.message) << c.json;
}

TEST(SiteConfig, NamesTheFileOfAnUnreadableOrInvalidConfiguration) {
    try {
        read_site_config("/nonexistent/site.json");
        FAIL();
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), "/nonexistent/site.json: (file): cannot be read");
    }
    const std::string path = testing::TempDir() + "bad-site.json";
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("{\"power_systems\": [\n  {\"data_id\": 1,,}\n]}", f);
    std::fclose(f);
    try {
        read_site_config(path);
        FAIL();
    } catch (const ConfigError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind(path + ": (JSON): is not valid JSON: ", 0), 0u) << what;
        EXPECT_NE(what.find("Line 2"), std::string::npos) << what;
    }
}

TEST(HostOptions, ParsesTheCommandLineAndRefusesMistakes) {
    const auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "voka-host");
        return parse_host_options(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    };
    const auto o = parse({"site.json", "--json", "--rounds", "3", "--get", "11:ia", "--get", "21:v"});
    EXPECT_EQ(o.config_path, "site.json");
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.rounds, 3u);
    ASSERT_EQ(o.queries.size(), 2u);
    EXPECT_EQ(o.queries[0].data_id, 11u);
    EXPECT_EQ(o.queries[0].key, "ia");
    EXPECT_EQ(o.queries[1].text, "21:v");
    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
             {"--rounds"}, {"--rounds", "x"}, {"--rounds", "-1"}, {"--get", "11"}, {"--get", "a:b"},
             {"--get", "11:"}, {"--bogus"}, {"a.json", "b.json"}})
        EXPECT_THROW(parse(bad), UsageError);
}

TEST(SiteConfig, ReadsHistorySettingsWithBoundsByDefault) {
    const auto defaults = site_config_from_json(parse_json(R"({"power_systems": [{"data_id": 1, "rcSetting": {}}]})"),
                                                "site.json");
    EXPECT_FALSE(defaults.history.database);
    EXPECT_EQ(defaults.history.policy.interval_s, 60);
    EXPECT_EQ(defaults.history.policy.retention.max_rows_per_device, 50'000u);
    EXPECT_EQ(defaults.history.policy.retention.max_age_s, 30 * 86'400);
    const auto set = site_config_from_json(parse_json(R"({"history": {"database": "h.db", "interval_s": 0,
        "max_rows_per_device": 0, "max_age_days": 7}, "power_systems": [{"data_id": 1, "rcSetting": {}}]})"),
                                           "site.json");
    EXPECT_EQ(set.history.database, "h.db");
    EXPECT_EQ(set.history.policy.interval_s, 0);
    EXPECT_EQ(set.history.policy.retention.max_rows_per_device, 0u);  // explicitly unbounded
    EXPECT_EQ(set.history.policy.retention.max_age_s, 7 * 86'400);
}

// A wrong history setting must not silently turn retention off or pick another file.
TEST(SiteConfig, RefusesHistorySettingsOfTheWrongTypeOrRange) {
    struct Case { const char* history; const char* message; };
    const std::vector<Case> cases = {
        {R"(5)", "site.json: history: must be an object"},
        {R"({"max_rows_per_device": -5})", "site.json: history.max_rows_per_device: must be an integer from 0 to 100000000"},
        {R"({"max_rows_per_device": 1.5})", "site.json: history.max_rows_per_device: must be an integer from 0"},
        {R"({"max_age_days": "thirty"})", "site.json: history.max_age_days: must be an integer from 0 to 3650"},
        {R"({"max_age_days": 3651})", "site.json: history.max_age_days: must be an integer from 0 to 3650"},
        {R"({"interval_s": 86401})", "site.json: history.interval_s: must be an integer from 0 to 86400"},
        {R"({"interval_s": true})", "site.json: history.interval_s: must be an integer from 0 to 86400"},
        {R"({"database": 5})", "site.json: history.database: must be a non-empty string"},
        {R"({"database": ""})", "site.json: history.database: must be a non-empty string"},
        {R"({"max_age_day": 30})", "site.json: history.max_age_day: is not a key of \"history\" (database, interval_s, max_rows_per_device, "
                                             "max_age_days)"},
    };
    for (const auto& c : cases) {
        const std::string json =
            std::string(R"({"history": )") + c.history + R"(, "power_systems": [{"data_id": 1, "rcSetting": {}}]})";
        EXPECT_EQ(refusal(json).rfind(c.message, 0), 0u) << c.history << " gave: " << refusal(json);
    }
}

// Two devices with one data id share history and alarms: their alarms would start and end every round.
TEST(SiteConfig, RefusesARepeatedDataIdNamingBothPlaces) {
    struct Case { const char* systems; const char* message; };
    const std::vector<Case> cases = {
        {R"({"data_id": 1, "rcSetting": {}}, {"data_id": 1, "rcSetting": {}})",
         "site.json: power_systems[1].data_id: repeats data id 1 of power_systems[0].data_id"},
        {R"({"data_id": 1, "rcSetting": {}, "acSetting": [{"data_id": 11}]},
            {"data_id": 2, "rcSetting": {}, "dcSetting": [{"data_id": 11}]})",
         "site.json: power_systems[1].dcSetting[0].data_id: repeats data id 11 of power_systems[0].acSetting[0].data_id"},
        {R"({"data_id": 1, "rcSetting": {}, "acSetting": [{"data_id": 11}, {"data_id": 11}]})",
         "site.json: power_systems[0].acSetting[1].data_id: repeats data id 11 of power_systems[0].acSetting[0].data_id"},
        {R"({"data_id": 1, "rcSetting": {}, "dcSetting": [{"data_id": 1}]})",  // the rectifier carries the master's id
         "site.json: power_systems[0].dcSetting[0].data_id: repeats data id 1 of power_systems[0].data_id"},
        {R"({"data_id": 1, "rcSetting": {}}, {"data_id": 2, "rcSetting": {}, "acSetting": [{"data_id": 1}]})",
         "site.json: power_systems[1].acSetting[0].data_id: repeats data id 1 of power_systems[0].data_id"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(std::string(R"({"power_systems": [)") + c.systems + "]}"), c.message) << c.systems;
}

namespace {

// The problems of a site with one power system holding `members` besides its data id and rcSetting.
std::vector<std::string> problems_of_element(const std::string& members) {
    const std::string text = refusal(R"({"power_systems": [{"data_id": 1, "rcSetting": {})" + members + "}]}");
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

// What nothing reads is a typo: refused, in the element and in each device's settings alike.
TEST(SiteConfig, RefusesUnknownKeysAndRatesNoLineCanBeSetTo) {
    struct Case { const char* members; const char* message; };  // message: the start of the one problem, "" none
    const std::vector<Case> cases = {
        {R"(, "baud_rate": 19200)", ""},
        {R"(, "baud_rate": 1000)", "site.json: power_systems[0].baud_rate: must be a rate a serial line can be set to (50, "},
        {R"(, "baud_rate": 4000001)", "site.json: power_systems[0].baud_rate: must be a rate a serial line"},
        {R"(, "answer_timeout": 500)", "site.json: power_systems[0].answer_timeout: is not a key of a power system (name, "},
        {R"(, "acSetting": [{"data_id": 11, "dataid": 3}])",
         "site.json: power_systems[0].acSetting[0].dataid: is not a key of a device setting (data_id, appSetting)"},
        {R"(, "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": 0.5, "diff_i": 2}}])", ""},
        {R"(, "dcSetting": [{"data_id": 21, "appSetting": {"diff_u": 1}}])",
         "site.json: power_systems[0].dcSetting[0].appSetting.diff_u: is not a key of \"appSetting\""},
        {R"(, "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": [1]}}])",
         "site.json: power_systems[0].dcSetting[0].appSetting.diff_v: must be a number"},
        {R"(, "acSetting": [7])", "site.json: power_systems[0].acSetting[0]: must be an object"},
    };
    for (const Case& c : cases) {
        const auto problems = problems_of_element(c.members);
        if (!*c.message) {
            EXPECT_TRUE(problems.empty()) << c.members << " gave: " << problems.front();
            continue;
        }
        ASSERT_EQ(problems.size(), 1u) << c.members << " gave: " << refusal(c.members);
        EXPECT_EQ(problems[0].rfind(c.message, 0), 0u) << c.members << " gave: " << problems[0];
    }
}

// A file is mended in one pass: every problem is told, in the file's order, not the first alone.
TEST(SiteConfig, TellsEveryProblemOfAFileAtOnce) {
    const auto problems = refusal(R"({"histroy": {}, "history": {"interval_s": -1, "database": 5},
        "mqtt": {"port": 1883}, "power_systems": [{"data_id": 1, "rcSetting": {}, "baud_rate": 1000},
                                                  {"rcSetting": {}, "retry": 3}]})");
    const std::vector<std::string> expected = {
        "site.json: histroy: is not a key of the site file (name, plugin, history, http, mqtt, power_systems)",
        "site.json: power_systems[0].baud_rate: must be a rate a serial line can be set to",
        "site.json: power_systems[1].retry: is not a key of a power system",
        "site.json: power_systems[1].data_id: is missing (the master's data id)",
        "site.json: history.database: must be a non-empty string",
        "site.json: history.interval_s: must be an integer from 0 to 86400",
        "site.json: mqtt.host: is missing (the broker's host name or address)",
    };
    std::vector<std::string> got;
    for (size_t start = 0; start < problems.size();) {
        const size_t end = std::min(problems.find('\n', start), problems.size());
        got.push_back(problems.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(got.size(), expected.size()) << problems;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].rfind(expected[i], 0), 0u) << got[i];
}

// Every integer key of a power system is held to the range its description gives, at both ends.
TEST(SiteConfig, HoldsEachPowerSystemIntegerToItsDescribedRange) {
    const schema::Section& element = *site_keys().find("power_systems")->inner;
    int checked = 0;
    for (const schema::Key& key : element.keys) {
        if (key.type != schema::Type::integer || key.accepts) continue;
        const auto lo = static_cast<long long>(key.lo), hi = static_cast<long long>(key.hi);
        const std::string refused = fmt::format("site.json: power_systems[0].{}: must be an integer from {} to {}",
                                                key.name, lo, hi);
        for (long long outside : {lo - 1, hi + 1}) {
            const auto problems = problems_of_element(fmt::format(R"(, "{}": {})", key.name, outside));
            EXPECT_NE(std::find(problems.begin(), problems.end(), refused), problems.end()) << key.name << " " << outside;
        }
        for (long long inside : {lo, hi})
            for (const std::string& problem : problems_of_element(fmt::format(R"(, "{}": {})", key.name, inside)))
                EXPECT_EQ(problem.find(fmt::format("power_systems[0].{}: must be", key.name)), std::string::npos) << problem;
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

// The key table's defaults are the ones the reader gives: the README shows the table.
TEST(SiteConfig, DescribesTheDefaultsTheReaderGives) {
    const auto site = site_config_from_json(parse_json(R"({"power_systems": [{"data_id": 1, "rcSetting": {}}]})"),
                                            "site.json");
    const PowerSystemConfig& ps = site.power_systems[0];
    const HistoryPolicy& history = site.history.policy;
    const schema::Section& element = *site_keys().find("power_systems")->inner;
    const std::vector<std::pair<const schema::Key*, long long>> cases = {
        {element.find("poll_interval_ms"), ps.poll_interval_ms},
        {element.find("retries"), ps.retries},
        {element.find("reconnect_min_ms"), ps.reconnect_min_ms},
        {element.find("reconnect_max_ms"), ps.reconnect_max_ms},
        {element.find("stale_after_rounds"), ps.stale_after_rounds},
        {element.find("rectifier_modules"), ps.rectifier_modules},
        {history_keys().find("interval_s"), history.interval_s},
        {history_keys().find("max_rows_per_device"), history.retention.max_rows_per_device},
        {history_keys().find("max_age_days"), history.retention.max_age_s / 86'400},
    };
    for (const auto& [key, value] : cases) {
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->default_text, std::to_string(value)) << key->name;
    }
    EXPECT_EQ(std::string(element.find("device_type")->default_text), ps.device_type);
}
