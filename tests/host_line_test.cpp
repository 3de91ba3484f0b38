// voka-host on a line that misbehaves, as a site engineer meets it: the port
// pulled and put back, a wrong address, a site that does not match the
// equipment, a time-out too short, late and damaged answers.
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/end_to_end.h"

namespace {

using namespace e2e;

// One power system element; `extra` adds or overrides keys (later keys win in jsoncpp).
std::string site_with(const std::string& port, const std::string& extra = "") {
    return R"({"power_systems": [{"name": "hall", "data_id": 1, "port": ")" + port +
           R"(", "baud_rate": 115200, "answer_timeout_ms": 300, "poll_interval_ms": 0,
             "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {})" + extra + "}]}";
}

std::vector<std::string> states(const std::vector<Json::Value>& all) {
    std::vector<std::string> out;
    for (const auto& e : of_kind(all, "state")) out.push_back(e["state"].asString());
    return out;
}

// Reads events until one satisfies `done`; all read so far.
std::vector<Json::Value> read_until(ChildProcess& host, std::vector<Json::Value>& all,
                                    const std::function<bool(const Json::Value&)>& done) {
    while (const auto line = host.next_line(15'000)) {
        all.push_back(parse_json(*line));
        if (done(all.back())) return all;
    }
    ADD_FAILURE() << "the awaited event never came; stderr: " << host.errors();
    return all;
}

// The communication-lost alarm rows of the database: (started, ended) pairs.
std::vector<std::pair<int64_t, int64_t>> comm_alarm_rows(const std::string& db) {
    std::vector<std::pair<int64_t, int64_t>> rows;
    sqlite3* raw = nullptr;
    sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(raw, "SELECT started, ended FROM alarms WHERE rule_id = 'COMM_0' ORDER BY row", -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) rows.emplace_back(sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1));
    sqlite3_finalize(st);
    sqlite3_close(raw);
    return rows;
}

}  // namespace

// The simulator killed and started again behind the same symlinked path, as a
// USB adapter pulled out and put back: no restart of voka-host is needed.
TEST(HostLine, SurvivesThePortGoingAwayAndComingBack) {
    Workdir w;
    const std::string scenario = w.write("s.json", R"({"equipment": {"baud_rate": 115200}})");
    auto sim = std::make_unique<Sim>(scenario);
    const std::string link = w.path("ttyUSB-by-id");
    fs::create_symlink(sim->port, link);
    const std::string db = w.path("h.db");
    const std::string config = w.write(
        "site.json", site_with(link, R"(, "reconnect_min_ms": 100, "reconnect_max_ms": 200, "stale_after_rounds": 3)"));
    ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", db});
    std::vector<Json::Value> all;
    read_until(host, all, [](const Json::Value& e) { return e["event"] == "round" && e["round"] == 2; });

    // Unplugged: the by-id link goes with the device, so a pseudo-terminal
    // another program opens meanwhile under the same number is not taken.
    sim->signal(SIGKILL);
    sim.reset();
    fs::remove(link);
    read_until(host, all, [](const Json::Value& e) { return e["event"] == "alarm" && e["state"] == "start"; });
    EXPECT_EQ(states(all), (std::vector<std::string>{"reconnecting", "stale"}));
    // The alarm is stored in its round's transaction, which may commit just
    // after the event is printed: ask again for a moment.
    std::vector<std::string> active;
    for (int attempt = 0; attempt < 50; ++attempt) {
        ChildProcess listed(VOKA_HOST_PATH, {"alarms", "--db", db});
        active = listed.remaining_lines();
        if (active.size() == 1 && active[0] != "no active alarms") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(active.size(), 1u);
    EXPECT_NE(active[0].find("COMM_0"), std::string::npos) << active[0];

    sim = std::make_unique<Sim>(scenario);
    fs::remove(link);
    fs::create_symlink(sim->port, link);
    read_until(host, all, [](const Json::Value& e) { return e["event"] == "alarm" && e["state"] == "end"; });
    EXPECT_EQ(states(all), (std::vector<std::string>{"reconnecting", "stale", "ok"}));
    host.signal(SIGTERM);
    const auto rest = events(host.remaining_lines());
    EXPECT_EQ(host.exit_status(), 0) << host.errors();
    const auto stats = of_kind(rest, "stats");
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_TRUE(stats[0]["final"].asBool());
    EXPECT_EQ(stats[0]["reopenings"].asUInt(), 1u);

    const auto rows = comm_alarm_rows(db);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_GT(rows[0].second, 0) << "the alarm's end is stored";
}

// With --rounds, a port that goes away mid-run ends the run once it has been
// gone for as long as --give-up-after attempts may take (10 x 300 ms), not
// after ten reopenings, which the back-off spreads over minutes: exit 1,
// naming the port.
TEST(HostLine, RoundsEndWhenThePortStaysAway) {
    Workdir w;
    auto sim = std::make_unique<Sim>(w.write("s.json", R"({"equipment": {"baud_rate": 115200}})"));
    const std::string link = w.path("ttyUSB-by-id");
    fs::create_symlink(sim->port, link);
    const std::string config =
        w.write("site.json", site_with(link, R"(, "reconnect_min_ms": 1000, "reconnect_max_ms": 60000)"));
    ChildProcess host(VOKA_HOST_PATH,
                      {config, "--json", "--rounds", "100000", "--give-up-after", "10", "--db", w.path("h.db")});
    std::vector<Json::Value> all;
    read_until(host, all, [](const Json::Value& e) { return e["event"] == "round" && e["round"] == 2; });

    sim->signal(SIGKILL);
    sim.reset();
    fs::remove(link);  // as above: no other program's pseudo-terminal under the old number
    const auto killed = std::chrono::steady_clock::now();
    read_until(host, all, [](const Json::Value& e) { return e["event"] == "state" && e["state"] == "reconnecting"; });
    host.remaining_lines();
    const double took_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_EQ(host.exit_status(), 1);
    EXPECT_GE(took_s, 3.0) << "gave up before ten attempts' time";
    EXPECT_LT(took_s, 12.0) << "the back-off's reopenings (1, 2, 4, 8 s apart) decided the end";
    const std::string errors = host.errors();
    EXPECT_NE(errors.find("power system \"hall\": gave up reconnecting after "), std::string::npos) << errors;
    EXPECT_NE(errors.find("(as long as 10 attempts may take): serial line " + link), std::string::npos) << errors;
}

// Each fault of a line as --rounds meets it: the exit status, the diagnosis a
// user reads, and what the event stream shows.
TEST(HostLine, LineFaultsEndOrRecoverAsAUserExpects) {
    struct Case {
        const char* name;
        std::string scenario;
        std::string extra;  // site keys
        int status;
        std::string diagnosis;  // in standard error
        std::function<void(const std::vector<Json::Value>&)> check;
        bool paced = false;  // at the line rate, so that a late answer and the next one arrive apart
    };
    const auto all_complete = [](unsigned n) {
        return [n](const std::vector<Json::Value>& all) {
            const auto rounds = of_kind(all, "round");
            EXPECT_EQ(rounds.size(), n) << "no round was restarted";
            for (const auto& r : rounds) EXPECT_TRUE(r["complete"].asBool());
        };
    };
    const std::vector<Case> cases = {
        {"wrong address", R"({"equipment": {"address": 1}})", R"(, "address": 2, "answer_timeout_ms": 100)", 1,
         "no answer to CID1 0x40 CID2 0x42 at address 2, 115200 baud (check address, baud rate and wiring)",
         [](const std::vector<Json::Value>& all) {
             const auto attempts = of_kind(all, "attempt");
             ASSERT_GE(attempts.size(), 4u);  // --give-up-after 4; the exchange under way ends its retries
             EXPECT_EQ(attempts[0]["reason"], "no_answer");
             EXPECT_FALSE(attempts[0].isMember("round"));
             EXPECT_EQ(of_kind(all, "dropped").size(), 0u);
         }},
        {"child count mismatch", "{}", R"(, "acSetting": [{"data_id": 11}, {"data_id": 12}])", 1,
         "the equipment reports 1 AC unit but the site configures 2 (acSetting)", nullptr},
        {"time-out too short", "{}", R"(, "baud_rate": 9600, "answer_timeout_ms": 200)", 2,
         "answer_timeout_ms 200 is shorter than the longest answer takes on the wire: the answer to CID1 0x42 CID2 "
         "0x47 needs 242 ms at 9600 baud",
         nullptr},
        {"answer later than the time-out",
         R"({"equipment": {"baud_rate": 9600}, "faults": [{"kind": "delay", "delay_ms": 900, "from_round": 2,
             "until_round": 2, "cid1": "0x40", "cid2": "0x43", "answers": 1}]})",
         // The longest answer takes 242 ms on the wire: the time-out leaves a slow machine room for it.
         R"(, "baud_rate": 9600, "answer_timeout_ms": 600)", 0, "", [&](const std::vector<Json::Value>& all) {
             all_complete(3)(all);
             const auto attempts = of_kind(all, "attempt");
             std::string seen;
             for (const auto& a : attempts) seen += a["cid1"].asString() + " " + a["cid2"].asString() + " ";
             ASSERT_EQ(attempts.size(), 1u) << seen;
             EXPECT_EQ(attempts[0]["cid2"], "0x43");
             EXPECT_EQ(attempts[0]["reason"], "no_answer");
             EXPECT_TRUE(attempts[0]["retrying"].asBool());
             // The retry's own answer came after the late one and was dropped, not taken for 40 44's.
             const auto stats = of_kind(all, "stats");
             ASSERT_EQ(stats.size(), 1u);
             EXPECT_EQ(stats[0]["late_answers"].asUInt(), 1u);
         }, true},
        {"damaged answer retried", R"({"faults": [{"kind": "bad_checksum", "cid1": "0x42", "cid2": "0x42", "answers": 1}]})",
         "", 0, "", [&](const std::vector<Json::Value>& all) {
             all_complete(3)(all);
             const auto attempts = of_kind(all, "attempt");
             ASSERT_EQ(attempts.size(), 3u);
             for (const auto& a : attempts) EXPECT_EQ(a["rejection"], "checksum");
             const auto stats = of_kind(all, "stats");
             ASSERT_EQ(stats.size(), 1u);
             for (const auto& c : stats[0]["commands"]) {
                 const bool dc_analog = c["cid1"] == "0x42" && c["cid2"] == "0x42";
                 EXPECT_EQ(c["retried"].asUInt(), dc_analog ? 3u : 0u);
                 EXPECT_EQ(c["rejected"]["checksum"].asUInt(), dc_analog ? 3u : 0u);
             }
         }},
    };
    for (const auto& c : cases) {
        Workdir w;
        Sim sim(w.write("s.json", c.scenario), c.paced);
        const std::string config = w.write("site.json", site_with(sim.port, c.extra));
        ChildProcess host(VOKA_HOST_PATH,
                          {config, "--json", "--rounds", "3", "--give-up-after", "4", "--db", w.path("h.db")});
        const auto all = events(host.remaining_lines());
        EXPECT_EQ(host.exit_status(), c.status) << c.name;
        const std::string errors = host.errors();
        if (!c.diagnosis.empty()) {
            EXPECT_NE(errors.find(c.diagnosis), std::string::npos) << c.name << ": " << errors;
        }
        if (c.check) c.check(all);
        sim.signal(SIGTERM);
    }
}
