// voka-host and voka-sim as a person runs them: the simulator on a
// pseudo-terminal, the host polling it, history and alarms in the database,
// a restart after kill -9, and clear refusals of bad input.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/end_to_end.h"

namespace {

using namespace e2e;

// A quick site: fast line, module 2 faulty in rounds 3 and 4, AC channel A low from round 6 on,
// the rectifier answer lost in round 2.
std::string scenario(int first_ac_volts = 231) {
    return R"({"equipment": {"address": 1, "baud_rate": 115200},
      "site": {"ac": [{"channels": [{"a": )" + std::to_string(first_ac_volts) + R"(}]}], "dc": [{"v": 53.6}],
               "modules": [{"current": 14.2}, {"current": 13.9}, {"current": 14.1}]},
      "changes": [{"from_round": 3, "until_round": 4, "set": {"modules[1].fault": 1}},
                  {"from_round": 6, "set": {"ac[0].channels[0].alerts[0]": 1}}],
      "faults": [{"kind": "no_answer", "from_round": 2, "until_round": 2, "cid1": "0x41", "cid2": "0x42"}]})";
}

std::string two_system_site(const std::vector<std::string>& systems, const std::string& extra = "") {
    std::string s = R"({)" + extra + R"("power_systems": [)";
    for (size_t i = 0; i < systems.size(); ++i) s += (i ? "," : "") + systems[i];
    return s + "]}";
}

// A time-out far above an answer's few milliseconds: only the scenario's lost answer times out, on a loaded
// machine too.
std::string power_system(const std::string& name, int id, int ac_id, int dc_id, const std::string& line) {
    return R"({"name": ")" + name + R"(", "data_id": )" + std::to_string(id) +
           R"(, "poll_interval_ms": 0, "answer_timeout_ms": 1000, "baud_rate": 115200, )" + line +
           R"(, "acSetting": [{"data_id": )" + std::to_string(ac_id) + R"(}], "dcSetting": [{"data_id": )" +
           std::to_string(dc_id) + R"(}], "rcSetting": {}})";
}

}  // namespace

TEST(HostEndToEnd, PollsTwoSimulatedSystemsThroughFaultsAndAlarms) {
    Workdir w;
    Sim sim_a(w.write("a.json", scenario()));
    Sim sim_b(w.write("b.json", scenario(229)));
    const std::string config = w.write(
        "site.json", two_system_site({power_system("hall-a", 1, 11, 21, R"("port": ")" + sim_a.port + "\""),
                           power_system("hall-b", 2, 12, 22, R"("port": ")" + sim_b.port + "\"")}));
    ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--rounds", "6", "--get", "11:channel_0_a", "--get",
                                       "12:channel_0_a", "--get", "22:v", "--db", w.path("h.db")});
    const auto all = events(host.remaining_lines());
    ASSERT_EQ(host.exit_status(), 0) << host.errors();

    // Both systems completed their rounds; the lost answer cost one round, and polling went on.
    for (const std::string name : {"hall-a", "hall-b"}) {
        unsigned complete = 0, timed_out = 0;
        for (const auto& r : of_kind(all, "round")) {
            if (r["system"].asString() != name) continue;
            complete += r["complete"].asBool();
            timed_out += r["outcome"].asString() == "timed out";
        }
        EXPECT_EQ(complete, 6u) << name;
        EXPECT_GE(timed_out, 1u) << name;  // the lost answer (a slow sanitizer build may lose more)
    }
    // Decoded records carry the scenario's values.
    bool saw_b_ac = false;
    for (const auto& r : of_kind(all, "record"))
        if (r["data_id"].asUInt() == 12) {
            saw_b_ac = true;
            EXPECT_EQ(r["fields"]["channels"][0]["a"].asDouble(), 229.0);
        }
    EXPECT_TRUE(saw_b_ac);
    // The timed fault made module 2's condition hold, and its alarm started and ended.
    unsigned fault_holds = 0;
    for (const auto& c : of_kind(all, "condition"))
        if (c["system"].asString() == "hall-a" && c["text"].asString() == "模块2整流模块故障告警" && c["holds"].asBool())
            ++fault_holds;
    EXPECT_EQ(fault_holds, 2u);
    std::vector<std::string> module_alarms;
    for (const auto& a : of_kind(all, "alarm"))
        if (a["data_id"].asUInt() == 1 && a["rule_id"].asString() == "RC_0") module_alarms.push_back(a["state"].asString());
    EXPECT_EQ(module_alarms, (std::vector<std::string>{"start", "end"}));
    // --get answers, per system.
    std::vector<std::string> answers;
    for (const auto& g : of_kind(all, "get"))
        answers.push_back(g["query"].asString() + "=" + (g.isMember("value") ? std::to_string(g["value"].asInt())
                                                                           : g["refused"].asString()));
    EXPECT_NE(std::find(answers.begin(), answers.end(), "11:channel_0_a=231"), answers.end());
    EXPECT_NE(std::find(answers.begin(), answers.end(), "12:channel_0_a=229"), answers.end());
    EXPECT_NE(std::find(answers.begin(), answers.end(), "22:v=53"), answers.end());
    EXPECT_NE(std::find(answers.begin(), answers.end(), "11:channel_0_a=数据未就绪"), answers.end());  // before round 1
    sim_a.signal(SIGTERM);
    sim_b.signal(SIGTERM);
}

TEST(HostEndToEnd, RestartAfterKillReloadsAndKeepsTheStandingAlarm) {
    Workdir w;
    const std::string sc = w.write("s.json", R"({"equipment": {"baud_rate": 115200},
        "changes": [{"from_round": 1, "set": {"modules[0].fault": 1}}]})");
    const std::string config = w.write(
        "site.json", two_system_site({power_system("solo", 1, 11, 21, R"("scenario": "s.json")")},
                          R"("history": {"max_rows_per_device": 3, "interval_s": 0}, )"));
    const std::string db = w.path("h.db");
    {
        ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", db});
        unsigned complete = 0;
        while (complete < 5) {
            const auto line = host.next_line();
            ASSERT_TRUE(line) << host.errors();
            const auto e = parse_json(*line);
            complete += e["event"].asString() == "round" && e["complete"].asBool();
        }
        host.signal(SIGKILL);  // mid-polling, no chance to clean up
        EXPECT_EQ(host.exit_status(), 128 + SIGKILL);
    }
    ChildProcess again(VOKA_HOST_PATH, {config, "--json", "--rounds", "1", "--get", "21:v", "--db", db});
    const auto all = events(again.remaining_lines());
    ASSERT_EQ(again.exit_status(), 0) << again.errors();
    // The first answer comes from reloaded data, before any new round.
    size_t first_get = all.size(), first_round = all.size();
    for (size_t i = all.size(); i-- > 0;) {
        if (all[i]["event"] == "get") first_get = i;
        if (all[i]["event"] == "round") first_round = i;
    }
    ASSERT_LT(first_get, first_round);
    EXPECT_NEAR(all[first_get]["value"].asDouble(), 53.5, 1e-3);
    EXPECT_TRUE(of_kind(all, "alarm").empty());  // the standing module fault is not raised again

    ChildProcess alarms(VOKA_HOST_PATH, {"alarms", "--db", db});
    const auto listed = alarms.remaining_lines();
    EXPECT_EQ(alarms.exit_status(), 0);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_NE(listed[0].find("模块1整流模块故障告警"), std::string::npos) << listed[0];
    ChildProcess history(VOKA_HOST_PATH, {"history", "21", "--db", db});
    // A header, the first round's row (committed with its alarm) and the restart's: the rows of
    // rounds 2 to 5 were held for a later commit and went with the kill.
    EXPECT_EQ(history.remaining_lines().size(), 1u + 2u);
    EXPECT_EQ(history.exit_status(), 0);
}

TEST(HostEndToEnd, RefusesBadInputClearly) {
    Workdir w;
    struct Case { std::vector<std::string> args; int status; std::string message; };
    const std::string bad_json = w.write("bad.json", "{\"power_systems\": [}");
    const std::string no_rc = w.write("norc.json", R"({"power_systems": [{"data_id": 1}]})");
    const std::string bad_port =
        w.write("port.json", two_system_site({power_system("p", 1, 11, 21, R"("port": "/nonexistent/ttyX")")}));
    const std::string bad_scenario = w.write("bs.json", two_system_site({power_system("s", 1, 11, 21, R"("scenario": "nope.json")")}));
    const std::string nested = w.write("nested.json", "{\"power_systems\": " + std::string(2000, '[') + "}");
    const std::string newer_db = w.path("newer.db");
    {
        sqlite3* raw = nullptr;
        sqlite3_open(newer_db.c_str(), &raw);
        sqlite3_exec(raw, "CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER); "
                          "INSERT INTO meta VALUES ('schema_version', 9);", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    }
    const std::string missing_db = w.path("missing.db");
    const std::string foreign_db = w.path("foreign.db");
    {
        sqlite3* raw = nullptr;
        sqlite3_open(foreign_db.c_str(), &raw);
        sqlite3_exec(raw, "CREATE TABLE readings (t INTEGER); INSERT INTO readings VALUES (1);", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    }
    const auto bytes_of = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string foreign_before = bytes_of(foreign_db);
    const std::string repeated_id = w.write("rep.json", two_system_site({power_system("a", 1, 11, 21, R"("scenario": "s.json")"),
                                                              power_system("b", 2, 12, 21, R"("scenario": "s.json")")}));
    const std::vector<Case> cases = {
        {{"--rounds", "1", "--db", ""}, 2, "--db must name a database file"},
        {{"alarms", "--db", ""}, 2, "--db must name a database file"},
        {{"alarms", "--db", missing_db}, 1, missing_db + ": no such file"},
        {{"history", "21", "--db", missing_db}, 1, missing_db + ": no such file"},
        {{"--rounds", "1", "--db", foreign_db}, 1, foreign_db + ": is an SQLite database of another program (tables: readings)"},
        {{"alarms", "--db", foreign_db}, 1, "is an SQLite database of another program"},
        {{repeated_id, "--db", w.path("h.db")}, 2,
         "power_systems[1].dcSetting[0].data_id: repeats data id 21 of power_systems[0].dcSetting[0].data_id"},
        {{"--rounds", "1", "--db", newer_db}, 1, newer_db + " has schema version 9, newer than this voka-host knows"},
        {{"alarms", "--db", newer_db}, 1, "newer than this voka-host knows"},
        {{bad_json}, 2, bad_json + ": (JSON): is not valid JSON"},
        {{no_rc}, 2, no_rc + ": power_systems[0].rcSetting: is missing"},
        {{w.path("missing.json")}, 2, w.path("missing.json") + ": (file): cannot be read"},
        {{bad_port, "--rounds", "1", "--db", w.path("h.db")}, 1, "/nonexistent/ttyX"},
        {{bad_scenario, "--db", w.path("h.db")}, 2, "nope.json"},
        {{"--rounds", "x"}, 2, "--rounds must be a whole number"},
        {{"--get", "99:v", "--rounds", "1", "--db", w.path("h.db")}, 2, "no device 99 in this site"},
        // Before the port is opened: without --rounds a missing port would be waited for.
        {{bad_port, "--get", "99:v", "--db", w.path("h.db")}, 2, "no device 99 in this site"},
        {{nested}, 2, nested + ": (JSON): is not usable JSON: Exceeded stackLimit"},
    };
    for (const auto& c : cases) {
        ChildProcess host(VOKA_HOST_PATH, c.args);
        const auto out = host.remaining_lines();
        EXPECT_EQ(host.exit_status(), c.status) << c.args[0];
        const std::string errors = host.errors();
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
        EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string& l) { return l.find("round") != std::string::npos; }), 0);
    }
    // A run that fails, or only reads, leaves no database behind and another's as it was.
    EXPECT_FALSE(fs::exists(missing_db));
    EXPECT_FALSE(fs::exists(w.path("h.db")));
    EXPECT_EQ(bytes_of(foreign_db), foreign_before);
    EXPECT_FALSE(fs::exists(foreign_db + "-wal"));
}

// An alarm of a device that left the site would stay active for ever: it ends at the next start, once.
TEST(HostEndToEnd, EndsTheAlarmsOfADeviceNoLongerInTheSiteOnce) {
    Workdir w;
    w.write("fault.json", R"({"equipment": {"baud_rate": 115200},
        "changes": [{"from_round": 1, "set": {"modules[0].fault": 1}}]})");
    w.write("calm.json", R"({"equipment": {"baud_rate": 115200}})");
    const std::string before = w.write("before.json", two_system_site({power_system("old", 1, 11, 21, R"("scenario": "fault.json")")}));
    const std::string after = w.write("after.json", two_system_site({power_system("new", 2, 12, 22, R"("scenario": "calm.json")")}));
    const std::string db = w.path("h.db");
    const auto run = [&](const std::string& config) {
        ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--rounds", "2", "--db", db});
        const auto all = events(host.remaining_lines());
        EXPECT_EQ(host.exit_status(), 0) << host.errors();
        return all;
    };
    ASSERT_EQ(of_kind(run(before), "alarm").size(), 1u);
    const auto first = run(after);
    const auto ended = of_kind(first, "alarm");
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0]["data_id"].asUInt(), 1u);
    EXPECT_EQ(ended[0]["state"].asString(), "end");
    bool reason_given = false;
    for (const auto& e : of_kind(first, "notice"))
        reason_given = reason_given || e["text"].asString().find("its device is no longer in the site") != std::string::npos;
    EXPECT_TRUE(reason_given);
    EXPECT_TRUE(of_kind(run(after), "alarm").empty());  // once
    ChildProcess alarms(VOKA_HOST_PATH, {"alarms", "--db", db});
    EXPECT_EQ(alarms.remaining_lines(), std::vector<std::string>{"no active alarms"});
    EXPECT_EQ(alarms.exit_status(), 0);
}

// A power cut at a random moment, as near as a test can come: the host is
// stopped between two of its system calls, the database and its write-ahead
// log copied as they are at that instant, and the host let go on. Each copy
// must open whole, with the standing alarm neither lost nor doubled. (A real
// cut may also lose writes not yet synced; SQLite's log checksums cover a
// torn tail, which this copy does not produce.)
TEST(HostEndToEnd, ADatabaseCopiedAtARandomMomentOpensWhole) {
    Workdir w;
    w.write("s.json", R"({"equipment": {"baud_rate": 115200},
        "changes": [{"from_round": 1, "set": {"modules[0].fault": 1}}]})");
    const std::string config = w.write(
        "site.json", two_system_site({power_system("solo", 1, 11, 21, R"("scenario": "s.json")")},
                          R"("history": {"max_rows_per_device": 20, "interval_s": 0}, )"));
    const std::string db = w.path("h.db");
    std::mt19937 random(std::random_device{}());
    std::vector<std::string> copies;
    {
        ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", db});
        unsigned complete = 0;
        while (complete < 3) {  // the database exists and the alarm's round is committed
            const auto line = host.next_line();
            ASSERT_TRUE(line) << host.errors();
            complete += parse_json(*line)["event"].asString() == "round";
        }
        for (int i = 0; i < 6; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 150)(random)));
            host.signal(SIGSTOP);
            const std::string copy = w.path("copy" + std::to_string(i) + ".db");
            fs::copy_file(db, copy);
            if (fs::exists(db + "-wal")) fs::copy_file(db + "-wal", copy + "-wal");
            host.signal(SIGCONT);
            copies.push_back(copy);
        }
        host.signal(SIGKILL);
    }
    for (const auto& copy : copies) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(copy.c_str(), &raw), SQLITE_OK);
        sqlite3_stmt* q = nullptr;
        sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &q, nullptr);
        ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), "ok") << copy;
        sqlite3_finalize(q);
        sqlite3_close(raw);
        ChildProcess alarms(VOKA_HOST_PATH, {"alarms", "--db", copy});
        EXPECT_EQ(alarms.remaining_lines().size(), 1u) << copy;
        EXPECT_EQ(alarms.exit_status(), 0) << alarms.errors();
        ChildProcess history(VOKA_HOST_PATH, {"history", "21", "--db", copy});
        const auto rows = history.remaining_lines();
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0].find("no records"), std::string::npos) << copy;
        EXPECT_LE(rows.size() - 1, 20u * 101 / 100);  // rows below the header
        EXPECT_EQ(history.exit_status(), 0) << history.errors();
    }
}
