// /metrics and /api/v1/state from the site snapshot: what the event stream
// leaves in the snapshot, and how the exposition text and the JSON show it.
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "host/voka-host/events/json_writer.h"
#include "host/voka-host/http/exposition.h"
#include "host/voka-host/http/site_metrics.h"
#include "host/voka-host/http/site_snapshot.h"
#include "host/voka-host/http/state_json.h"
#include "host/voka-host/site_config.h"
#include "tests/support/json.h"

namespace {

double fixed_now() { return 1'765'252'800.5; }  // 2025-12-09T04:00:00.5Z

SiteConfig two_systems() {
    SiteConfig site;
    site.path = "site.json";
    site.name = "hall site";
    for (const auto& [name, id, dc] : {std::tuple{"hall \"A\"", 1u, 21u}, std::tuple{"hall-b", 2u, 22u}}) {
        PowerSystemConfig ps;
        ps.name = name;
        ps.data_id = id;
        ps.dc_data_ids = {dc};
        site.power_systems.push_back(ps);
    }
    return site;
}

PublishedRecord dc_record(uint32_t id, float v, bool i_missing) {
    PublishedRecord r{id, "voka-dc", 5189, {}};
    r.decoded.type = &kDcRecord;
    r.decoded.readings = {{.name = "v", .unit = "V", .value = v},
                          {.name = "i", .unit = "A", .value = 0, .missing = i_missing},
                          {.name = "battery_currents", .unit = "A", .battery = 1, .element = "i", .value = 2.5f}};
    r.decoded.fields["v"] = v;
    return r;
}

PublishedRecord rc_record(uint32_t id) {
    PublishedRecord r{id, "voka-rc", 5190, {}};
    r.decoded.type = &kRectifierRecord;
    r.decoded.readings = {{.name = "current", .unit = "A", .module = 2, .value = 14.1f},
                          {.name = "ac_params", .position = 0, .value = 280}};
    return r;
}

Alarm alarm(uint32_t id, const char* rule) {
    return Alarm{id, rule, "text with \"quotes\"\nand a line", 2, "70001", "name", 1'765'252'000, 0};
}

RoundReport round(const std::string& system, unsigned n, bool complete) {
    RoundReport r;
    r.system = system;
    r.round = n;
    r.complete = complete;
    r.duration_ms = 41.5;
    r.counters.commands_sent = 10 * n;
    r.counters.rejected[static_cast<size_t>(frame::Error::checksum)] = 3;
    r.counters.ended[static_cast<size_t>(ExchangeEnd::timed_out)] = 2;
    r.reopenings = 1;
    return r;
}

// What a snapshot shows after the events of a short run of both systems.
SiteState fed_state() {
    SiteSnapshot s(two_systems().name, two_systems().power_systems, fixed_now);
    s.handle(event::RecordPublished{"hall \"A\"", dc_record(21, 53.6f, true)});
    s.handle(event::RecordPublished{"hall \"A\"", rc_record(1)});
    s.handle(event::RecordPublished{"hall \"A\"", dc_record(21, 53.5f, true)});  // replaces the first
    s.handle(event::RoundEnded{round("hall \"A\"", 4, true)});
    s.handle(event::RoundEnded{round("hall \"A\"", 4, false)});  // a failed round keeps the last complete one
    s.handle(event::RecordPublished{"hall-b", dc_record(22, 48.0f, false)});
    s.handle(event::StateChanged{"hall-b", "stale", "3 rounds failed in a row"});
    s.handle(event::AlarmChanged{alarm(21, "DC_0"), true});
    s.handle(event::AlarmChanged{alarm(22, "DC_1"), true});
    s.handle(event::AlarmChanged{alarm(22, "DC_1"), false});
    s.handle(event::AlarmChanged{alarm(99, "DC_0"), true});  // not a device of this site
    s.restore_alarms({alarm(2, "COMM_0")});
    return s.copy();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The family a sample or comment line belongs to.
std::string family_of(const std::string& line) {
    if (line.rfind("# ", 0) == 0) {
        const size_t start = line.find(' ', 2) + 1;
        return line.substr(start, line.find(' ', start) - start);
    }
    return line.substr(0, line.find_first_of("{ "));
}

}  // namespace

TEST(Exposition, EscapesLabelValuesAndHelpAndWritesSpecialValues) {
    struct Case {
        std::string in, label, help;
    } cases[] = {
        {R"(back\slash)", R"(back\\slash)", R"(back\\slash)"},
        {"say \"hi\"", R"(say \"hi\")", "say \"hi\""},
        {"two\nlines", R"(two\nlines)", R"(two\nlines)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_label_value(c.in), c.label) << c.in;
        EXPECT_EQ(escape_help(c.in), c.help) << c.in;
    }
    EXPECT_EQ(sample_value(53.6), "53.6");
    EXPECT_EQ(sample_value(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(sample_value(-std::numeric_limits<double>::infinity()), "-Inf");
}

TEST(MetricFamilies, NamesEachReadingWithItsKindAndBaseUnit) {
    struct Case {
        RecordKind kind;
        const char* name;
        const char* unit;
        const char* family;
    } cases[] = {
        {RecordKind::ac, "ia", "A", "voka_ac_current_amperes"},
        {RecordKind::ac, "f", "Hz", "voka_ac_frequency_hertz"},
        {RecordKind::dc, "v", "V", "voka_dc_voltage_volts"},
        {RecordKind::dc, "battery_currents", "A", "voka_battery_current_amperes"},
        {RecordKind::rectifier, "current", "A", "voka_rectifier_module_current_amperes"},
        {RecordKind::rectifier, "dc_params", "", "voka_rectifier_dc_parameter"},
        {RecordKind::dc, "new_value", "A", "voka_dc_new_value_amperes"},  // not in the table: named generically
    };
    for (const Case& c : cases)
        EXPECT_EQ(reading_family(c.kind, Reading{.name = c.name, .unit = c.unit}).name, c.family) << c.name;
}

// Each family once with HELP and TYPE before its samples, all its samples
// together; missing readings and alarms of other sites absent.
TEST(SiteMetrics, ShowsTheSnapshotAsWellFormedFamilies) {
    const HostFigures host{3, {{"hall \"A\"", true, 0, 0, 0}, {"hall-b", false, 12, 5, 1}}};
    const std::string text = site_metrics(fed_state(), "1.2.3", HttpFigures{7}, &host);
    std::map<std::string, int> help, type;
    std::set<std::string> closed;
    std::string current;
    for (const std::string& l : lines_of(text)) {
        const std::string f = family_of(l);
        if (l.rfind("# HELP ", 0) == 0) ++help[f];
        if (l.rfind("# TYPE ", 0) == 0) ++type[f];
        if (f != current) {
            EXPECT_FALSE(closed.count(f)) << "family " << f << " is split";
            closed.insert(current);
            current = f;
        }
        if (l[0] != '#') {
            EXPECT_EQ(help[f], 1) << "sample before its HELP: " << l;
        }
    }
    for (const auto& [f, n] : help) EXPECT_EQ(type[f], 1) << f;

    for (const char* expected : {
             "voka_build_info{version=\"1.2.3\"} 1\n",
             "voka_up{system=\"hall \\\"A\\\"\"} 1\n",
             "voka_up{system=\"hall-b\"} 0\n",
             "voka_power_system_state{system=\"hall-b\",state=\"stale\"} 1\n",
             "voka_rounds_total{system=\"hall \\\"A\\\"\"} 4\n",
             "voka_last_round_timestamp_seconds{system=\"hall \\\"A\\\"\"} 1765252800.5\n",
             "voka_round_duration_seconds{system=\"hall \\\"A\\\"\"} 0.0415\n",
             "voka_line_commands_sent_total{system=\"hall \\\"A\\\"\"} 40\n",
             "voka_line_rejected_frames_total{system=\"hall \\\"A\\\"\",reason=\"checksum\"} 3\n",
             "voka_line_failed_exchanges_total{system=\"hall \\\"A\\\"\",reason=\"timed_out\"} 2\n",
             "voka_line_reopenings_total{system=\"hall \\\"A\\\"\"} 1\n",
             "voka_dc_voltage_volts{system=\"hall \\\"A\\\"\",data_id=\"21\"} 53.5\n",
             "voka_dc_current_amperes{system=\"hall-b\",data_id=\"22\"} 0\n",
             "voka_battery_current_amperes{system=\"hall-b\",data_id=\"22\",battery=\"1\"} 2.5\n",
             "voka_rectifier_module_current_amperes{system=\"hall \\\"A\\\"\",data_id=\"1\",module=\"2\"} 14.1\n",
             "voka_alarm_active{system=\"hall \\\"A\\\"\",data_id=\"21\",rule_id=\"DC_0\",grade=\"2\",code=\"70001\",text=\"text with \\\"quotes\\\"\\nand a line\"} 1\n",
             "voka_alarm_active{system=\"hall-b\",data_id=\"2\",rule_id=\"COMM_0\",grade=\"2\",code=\"70001\",text=\"text with \\\"quotes\\\"\\nand a line\"} 1\n",
             "# TYPE voka_http_auth_failures_total counter\nvoka_http_auth_failures_total 7\n",
             "# TYPE voka_history_write_failures_total counter\nvoka_history_write_failures_total 3\n",
             "voka_mqtt_connected{system=\"hall \\\"A\\\"\"} 1\nvoka_mqtt_connected{system=\"hall-b\"} 0\n",
             "voka_mqtt_queued_messages{system=\"hall-b\"} 12\n",
             "voka_mqtt_dropped_messages_total{system=\"hall-b\",kind=\"state\"} 5\n",
             "voka_mqtt_dropped_messages_total{system=\"hall-b\",kind=\"event\"} 1\n",
         })
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nnot in:\n" << text;
    // hall A's DC current is missing: absent, not 0. hall-b has no round yet; its ended alarm is gone.
    EXPECT_EQ(text.find("voka_dc_current_amperes{system=\"hall \\\"A\\\"\""), std::string::npos);
    EXPECT_EQ(text.find("voka_last_round_timestamp_seconds{system=\"hall-b\"}"), std::string::npos);
    EXPECT_EQ(text.find("DC_1"), std::string::npos);
    EXPECT_EQ(text.find("data_id=\"99\""), std::string::npos);
    // Without a broker or an HTTP service around it, none of the host's own families.
    const std::string bare = site_metrics(fed_state(), "1.2.3");
    EXPECT_EQ(bare.find("voka_mqtt_"), std::string::npos);
    EXPECT_EQ(bare.find("voka_history_write_failures_total"), std::string::npos);
    const HostFigures no_broker{0, {}};
    EXPECT_EQ(site_metrics(fed_state(), "1.2.3", {}, &no_broker).find("voka_mqtt_"), std::string::npos);
}

TEST(StateJson, ShowsTheAgreedShape) {
    const Json::Value v = parse_json(
        Json::writeString(Json::StreamWriterBuilder(), state_json(fed_state(), 1'765'252'800)));
    EXPECT_EQ(v["site"].asString(), "hall site");
    EXPECT_EQ(v["generated"].asString(), "2025-12-09T04:00:00Z");
    ASSERT_EQ(v["systems"].size(), 2u);
    const Json::Value& a = v["systems"][0];
    EXPECT_EQ(a["name"].asString(), "hall \"A\"");
    EXPECT_EQ(a["state"].asString(), "ok");
    EXPECT_EQ(a["rounds"].asUInt(), 4u);
    EXPECT_EQ(a["last_round"].asString(), "2025-12-09T04:00:00Z");
    EXPECT_DOUBLE_EQ(a["round_duration_ms"].asDouble(), 41.5);
    EXPECT_EQ(a["counters"]["sent"].asUInt(), 40u);
    EXPECT_EQ(a["counters"]["rejected"]["checksum"].asUInt(), 3u);
    ASSERT_EQ(a["devices"].size(), 2u);  // by data id: the rectifier (1), then the DC unit (21)
    const Json::Value& dc = a["devices"][1];
    EXPECT_EQ(dc["data_id"].asUInt(), 21u);
    EXPECT_EQ(dc["record_type"].asInt(), 5189);
    EXPECT_DOUBLE_EQ(dc["fields"]["v"].asDouble(), 53.5);
    ASSERT_EQ(dc["readings"].size(), 3u);
    EXPECT_TRUE(dc["readings"][1]["value"].isNull());  // missing
    EXPECT_EQ(dc["readings"][2]["battery"].asInt(), 1);
    for (const char* absent : {"channel", "phase", "module", "position"})
        EXPECT_FALSE(dc["readings"][2].isMember(absent)) << absent;
    ASSERT_EQ(a["alarms"].size(), 1u);
    EXPECT_EQ(a["alarms"][0]["rule_id"].asString(), "DC_0");
    EXPECT_EQ(a["alarms"][0]["started"].asString(), "2025-12-09T03:46:40Z");
    const Json::Value& b = v["systems"][1];
    EXPECT_EQ(b["state"].asString(), "stale");
    EXPECT_EQ(b["state_why"].asString(), "3 rounds failed in a row");
    EXPECT_TRUE(b["last_round"].isNull());
    ASSERT_EQ(b["alarms"].size(), 1u);
    EXPECT_EQ(b["alarms"][0]["rule_id"].asString(), "COMM_0");
}

// A reload: a system that stays keeps its line state; a device that moved
// takes its record and alarm along; a removed system and its device are gone;
// an added one shows at once.
TEST(SiteSnapshot, FollowsAReloadedSite) {
    SiteSnapshot s(two_systems().name, two_systems().power_systems, fixed_now);
    s.handle(event::RecordPublished{"hall \"A\"", dc_record(21, 53.5f, false)});
    s.handle(event::RecordPublished{"hall-b", dc_record(22, 48.0f, false)});
    s.handle(event::StateChanged{"hall \"A\"", "stale", "3 rounds failed in a row"});
    s.handle(event::AlarmChanged{alarm(21, "DC_0"), true});
    s.handle(event::AlarmChanged{alarm(22, "DC_1"), true});

    SiteConfig next = two_systems();
    next.power_systems[1].name = "hall-c";  // hall-b removed, hall-c added with its device 22
    next.power_systems[1].data_id = 3;
    next.power_systems[0].dc_data_ids = {23, 21};  // 21 stays in hall "A"
    s.handle(event::SiteReloaded{{"hall-c"}, {"hall-b"}, {"hall \"A\""}, next.power_systems});

    const SiteState state = s.copy();
    ASSERT_EQ(state.systems.size(), 2u);
    const SystemState& a = state.systems[0];
    EXPECT_EQ(a.name, "hall \"A\"");
    EXPECT_EQ(a.state, "stale");
    EXPECT_EQ(a.devices.size(), 1u);
    ASSERT_EQ(a.alarms.size(), 1u);
    EXPECT_EQ(a.alarms[0].data_id, 21u);
    const SystemState& c = state.systems[1];
    EXPECT_EQ(c.name, "hall-c");
    EXPECT_EQ(c.data_id, 3u);
    EXPECT_EQ(c.state, "ok");
    EXPECT_EQ(c.devices.count({22u, 5189}), 1u);
    ASSERT_EQ(c.alarms.size(), 1u);
    EXPECT_EQ(c.alarms[0].data_id, 22u);

    s.handle(event::RecordPublished{"hall-c", dc_record(22, 47.0f, false)});
    EXPECT_EQ(s.copy().systems[1].devices.at({22u, 5189})->decoded.fields["v"].asFloat(), 47.0f);
}

namespace {
double moving_now_value = 0;
double moving_now() { return moving_now_value; }
}  // namespace

// The line health: what the line counted over the last hour is the totals
// now less those of a sample between one hour and one hour and a minute old
// (since the first round while the host is younger), and the last failed
// attempt stays in words with its time.
TEST(StateJson, CountsTheLastHourFromMinuteSamplesAndKeepsTheLastFailure) {
    SiteSnapshot s(two_systems().name, two_systems().power_systems, moving_now);
    const double t0 = 1'765'252'800;
    const auto at = [&](double minutes, unsigned sent, unsigned retries, unsigned timeouts) {
        moving_now_value = t0 + minutes * 60;
        RoundReport r = round("hall-b", 1, true);
        r.counters.commands_sent = sent;
        r.counters.retries = retries;
        r.counters.ended[static_cast<size_t>(ExchangeEnd::timed_out)] = timeouts;
        r.reopenings = timeouts / 2;
        s.handle(event::RoundEnded{r});
    };
    const auto last_hour = [&] {
        for (const SystemState& x : s.copy().systems)
            if (x.name == "hall-b") return last_hour_json(x);
        return Json::Value();
    };
    EXPECT_TRUE(last_hour().isNull());  // no round yet
    at(0, 10, 0, 0);
    at(0.5, 20, 1, 0);  // within the minute: no new sample
    EXPECT_EQ(last_hour()["sent"].asInt(), 10);
    EXPECT_EQ(last_hour()["since"], "2025-12-09T04:00:00Z");
    // A round every 10 s for 90 minutes, one retry and one time-out every minute.
    for (int k = 6; k <= 540; ++k) at(k / 6.0, 20 + 10 * k, k / 6, k / 6);
    const Json::Value h = last_hour();
    EXPECT_EQ(h["since"], "2025-12-09T04:30:00Z");  // the newest sample at least an hour old
    EXPECT_EQ(h["sent"].asInt(), 10 * 540 - 10 * 180);
    EXPECT_EQ(h["retried"].asInt(), 60);
    EXPECT_EQ(h["exchanges"]["timed_out"].asInt(), 60);
    EXPECT_EQ(h["reopenings"].asInt(), 30);
    const SiteState state = s.copy();
    EXPECT_LE(state.systems[1].samples.size(), 62u);  // bounded, whatever the run's length

    const Json::Value before = parse_json(one_line_json(state_json(state, 1'765'252'800)));
    EXPECT_TRUE(before["systems"][1]["last_failure"].isNull());
    moving_now_value = t0 + 5400;
    event::Attempt timed_out;  // named: GCC 12 takes a braced temporary's string for uninitialised at -O3
    timed_out.system = "hall-b";
    timed_out.text = "no answer to 0x42 0x42 within 300 ms; retrying";
    s.handle(timed_out);
    const Json::Value after = parse_json(one_line_json(state_json(s.copy(), 1'765'252'800)));
    EXPECT_EQ(after["systems"][1]["last_failure"], "no answer to 0x42 0x42 within 300 ms; retrying");
    EXPECT_EQ(after["systems"][1]["last_failure_time"], "2025-12-09T05:30:00Z");
    EXPECT_TRUE(after["systems"][0]["last_failure"].isNull());
}

// One rule id covers every module: the end of one module's alarm leaves the
// other's active.
TEST(SiteSnapshot, EndsOnlyTheAlarmOfTheConditionThatCleared) {
    SiteSnapshot s(two_systems().name, two_systems().power_systems, fixed_now);
    Alarm second = alarm(22, "RC_0"), third = alarm(22, "RC_0");
    second.text = "module 2 fault";
    third.text = "module 3 fault";
    s.handle(event::AlarmChanged{third, true});
    s.handle(event::AlarmChanged{second, true});
    s.handle(event::AlarmChanged{second, false});
    const auto active = s.copy().systems[1].alarms;
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].text, "module 3 fault");
}
