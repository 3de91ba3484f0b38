// voka-host as a service runs it: the site file it ships with runs as it is,
// SIGTERM ends even a round waiting on a slow line at once with the history
// kept, SIGHUP restarts only the power systems whose settings changed and
// keeps the running site when the file cannot be used, and without a
// terminal each event is one plain line for the journal.
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/end_to_end.h"

namespace {

using namespace e2e;

std::string system_on_simulator(const std::string& name, int id, const std::string& extra = "") {
    return R"({"name": ")" + name + R"(", "data_id": )" + std::to_string(id) +
           R"(, "scenario": "fast.json", "baud_rate": 115200, "answer_timeout_ms": 300, "poll_interval_ms": 100,
           "acSetting": [{"data_id": )" + std::to_string(id + 10) + R"(}], "dcSetting": [{"data_id": )" +
           std::to_string(id + 20) + R"(}], "rcSetting": {})" + extra + "}";
}

std::string site_of(const std::vector<std::string>& systems) {
    std::string s = R"({"history": {"interval_s": 0}, "power_systems": [)";
    for (size_t i = 0; i < systems.size(); ++i) s += (i ? ", " : "") + systems[i];
    return s + "]}";
}

// Reads events until one satisfies `done`; fails the test when none comes.
Json::Value read_events_until(ChildProcess& host, std::vector<Json::Value>& all,
                       const std::function<bool(const Json::Value&)>& done) {
    while (const auto line = host.next_line(15'000)) {
        all.push_back(parse_json(*line));
        if (done(all.back())) return all.back();
    }
    ADD_FAILURE() << "the awaited event never came; stderr: " << host.errors();
    return {};
}

auto complete_round_of(const std::string& system) {
    return [system](const Json::Value& e) {
        return e["event"] == "round" && e["system"] == system && e["complete"].asBool();
    };
}

// The complete rounds' numbers of each system among `all`, from index `from` on.
std::map<std::string, std::vector<unsigned>> rounds_by_system(const std::vector<Json::Value>& all, size_t from = 0) {
    std::map<std::string, std::vector<unsigned>> out;
    for (size_t i = from; i < all.size(); ++i)
        if (all[i]["event"] == "round" && all[i]["complete"].asBool())
            out[all[i]["system"].asString()].push_back(all[i]["round"].asUInt());
    return out;
}

}  // namespace

// What the package installs as /etc/voka/site.json must run on a fresh install
// (its page on a free port here, as other tests may run beside it).
TEST(HostService, TheShippedSiteFileRunsTheBundledSimulator) {
    Workdir w;
    ChildProcess host(VOKA_HOST_PATH, {VOKA_SERVICE_SITE, "--json", "--rounds", "2", "--db", w.path("h.db"),
                                       "--listen", "127.0.0.1:0"});
    const auto all = events(host.remaining_lines());
    ASSERT_EQ(host.exit_status(), 0) << host.errors();
    EXPECT_EQ(rounds_by_system(all)["example"], (std::vector<unsigned>{1, 2}));
    bool dc_seen = false;
    for (const auto& r : of_kind(all, "record")) dc_seen = dc_seen || r["data_id"] == 21;
    EXPECT_TRUE(dc_seen);
}

// A round waits 6 s for a late answer (time-out 8 s): SIGTERM must not wait
// for it. Exit 0 within 2 s, the round reported as stopped and not as a line
// fault, the final totals shown and the rounds before it in the history.
TEST(HostService, SigtermEndsARoundWaitingOnASlowLineWithinTwoSeconds) {
    Workdir w;
    w.write("slow.json", R"({"equipment": {"baud_rate": 9600},
        "faults": [{"kind": "delay", "delay_ms": 6000, "from_round": 2, "cid1": "0x41", "cid2": "0x42"}]})");
    const std::string config = w.write(
        "site.json", R"({"power_systems": [{"name": "slow", "data_id": 1, "scenario": "slow.json", "baud_rate": 9600,
            "answer_timeout_ms": 8000, "poll_interval_ms": 0, "stale_after_rounds": 1,
            "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]})");
    const std::string db = w.path("h.db");
    ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", db});
    std::vector<Json::Value> all;
    read_events_until(host, all, complete_round_of("slow"));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // round 2 now waits for the rectifier answer

    const auto signalled = std::chrono::steady_clock::now();
    host.signal(SIGTERM);
    const auto status = host.exit_status(10'000);
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_EQ(status, 0) << host.errors();
    EXPECT_LT(took, std::chrono::seconds(2)) << std::chrono::duration<double>(took).count() << " s";

    for (const auto& line : host.remaining_lines()) all.push_back(parse_json(line));
    const auto rounds = of_kind(all, "round");
    ASSERT_EQ(rounds.size(), 2u);
    EXPECT_EQ(rounds[1]["outcome"], "stopped");
    EXPECT_TRUE(of_kind(all, "attempt").empty()) << "a stop is no failed attempt";
    EXPECT_TRUE(of_kind(all, "state").empty()) << "nor a stale line (stale_after_rounds 1)";
    const auto stats = of_kind(all, "stats");
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_TRUE(stats[0]["final"].asBool());

    ChildProcess history(VOKA_HOST_PATH, {"history", "21", "--db", db, "--format", "json"});
    const auto rows = history.remaining_lines();
    EXPECT_EQ(history.exit_status(), 0) << history.errors();
    EXPECT_FALSE(rows.empty()) << "round 1's DC record is in the history";
}

// SIGHUP with a site where "a" is unchanged, "b" polls at another interval,
// "c" is gone and "d" is new: "a" polls on with its round count, "b" starts
// again from round 1, "c" polls no more, "d" starts. A file that cannot be
// used, then one whose new system cannot be made, changes nothing.
TEST(HostService, SighupRestartsOnlyTheSystemsWhoseSettingsChanged) {
    Workdir w;
    w.write("fast.json", R"({"equipment": {"baud_rate": 115200}})");
    const std::string config = w.write("site.json", site_of({system_on_simulator("a", 1), system_on_simulator("b", 2),
                                                             system_on_simulator("c", 3)}));
    ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", w.path("h.db")});
    std::vector<Json::Value> all;
    for (const char* name : {"a", "b", "c"})
        read_events_until(host, all, [name](const Json::Value& e) {
            return complete_round_of(name)(e) && e["round"].asUInt() >= 2;
        });

    w.write("site.json", site_of({system_on_simulator("a", 1), system_on_simulator("b", 2, R"(, "poll_interval_ms": 150)"),
                                  system_on_simulator("d", 4)}));
    host.signal(SIGHUP);
    const Json::Value reload = read_events_until(host, all, [](const Json::Value& e) { return e["event"] == "reload"; });
    EXPECT_EQ(reload["added"], parse_json(R"(["d"])"));
    EXPECT_EQ(reload["removed"], parse_json(R"(["c"])"));
    EXPECT_EQ(reload["restarted"], parse_json(R"(["b"])"));
    const unsigned a_before = rounds_by_system(all)["a"].back();
    const size_t after_reload = all.size();
    for (const char* name : {"a", "b", "d"})
        read_events_until(host, all, [name](const Json::Value& e) {
            return complete_round_of(name)(e) && e["round"].asUInt() >= 3;
        });
    auto since = rounds_by_system(all, after_reload);
    EXPECT_EQ(since.count("c"), 0u) << "c was stopped";
    ASSERT_FALSE(since["a"].empty());
    EXPECT_EQ(since["a"].front(), a_before + 1) << "a polled on undisturbed";
    EXPECT_EQ(since["b"].front(), 1u) << "b started again";
    EXPECT_EQ(since["d"].front(), 1u);

    const struct {
        const char* name;
        std::string text;
        std::string why;  // in the refusal
    } bad_files[] = {
        {"not JSON", "{\"power_systems\": [", "is not valid JSON"},
        {"repeated data id", site_of({system_on_simulator("a", 1), system_on_simulator("e", 1)}), "repeats data id 1"},
        {"a changed system's scenario is missing",
         site_of({system_on_simulator("a", 1), system_on_simulator("b", 2, R"(, "scenario": "missing.json")"),
                  system_on_simulator("d", 4)}),
         "missing.json"},
    };
    for (const auto& bad : bad_files) {
        w.write("site.json", bad.text);
        host.signal(SIGHUP);
        const Json::Value refused =
            read_events_until(host, all, [](const Json::Value& e) { return e["event"] == "reload_refused"; });
        EXPECT_NE(refused["why"].asString().find(bad.why), std::string::npos) << bad.name << ": " << refused["why"].asString();
        const auto before = rounds_by_system(all);
        const size_t from = all.size();
        for (const char* name : {"a", "b", "d"}) read_events_until(host, all, complete_round_of(name));
        for (const char* name : {"a", "b", "d"})
            EXPECT_EQ(rounds_by_system(all, from)[name].front(), before.at(name).back() + 1)
                << bad.name << ": " << name << " polled on undisturbed";
    }
    host.signal(SIGTERM);
    host.remaining_lines();
    EXPECT_EQ(host.exit_status(), 0) << host.errors();
}

// Without a terminal (a service's journal, a pipe) every event is one line of
// plain text: a round with its records, an alarm, the final totals.
TEST(HostService, WithoutATerminalEachEventIsOnePlainLine) {
    Workdir w;
    w.write("fast.json", R"({"equipment": {"baud_rate": 115200},
        "changes": [{"from_round": 2, "set": {"modules[0].fault": 1}}]})");
    const std::string config = w.write("site.json", site_of({system_on_simulator("hall", 1)}));
    ChildProcess host(VOKA_HOST_PATH, {config, "--rounds", "3", "--db", w.path("h.db")});
    const auto lines = host.remaining_lines();
    ASSERT_EQ(host.exit_status(), 0) << host.errors();
    unsigned rounds = 0, alarms = 0, totals = 0;
    for (const auto& line : lines) {
        EXPECT_FALSE(line.empty());
        EXPECT_NE(line[0], ' ') << "a continuation line: " << line;
        EXPECT_NE(line[0], '<') << "a priority without the journal: " << line;
        for (const char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20u) << line;
        if (line.rfind("[hall] round ", 0) == 0) {
            ++rounds;
            EXPECT_NE(line.find("; DC 21 "), std::string::npos) << line;
            EXPECT_NE(line.find("; RC 1 "), std::string::npos) << line;
        }
        alarms += line.rfind("alarm starts: ", 0) == 0;
        totals += line.rfind("[hall] totals at exit: ", 0) == 0 && line.find("; 40 42: sent ") != std::string::npos;
    }
    EXPECT_EQ(rounds, 3u);
    EXPECT_EQ(alarms, 1u);
    EXPECT_EQ(totals, 1u);
}
