// One presentation for every consumer: the same record, alarm and line
// counters look alike in the --json stream, the state API and MQTT; times
// have one format each; a device belongs to the system the site file puts it
// in, for the snapshot and MQTT alike.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/events/json_writer.h"
#include "host/voka-host/http/site_snapshot.h"
#include "host/voka-host/http/state_json.h"
#include "host/voka-host/mqtt/mqtt_sink.h"
#include "host/voka-host/presentation/time_text.h"
#include "host/voka-host/site_config.h"
#include "tests/support/json.h"

namespace {

const char* kTwoSystems = R"({"power_systems": [
    {"name": "a", "data_id": 1, "rcSetting": {}, "acSetting": [{"data_id": 12}, {"data_id": 11}],
     "dcSetting": [{"data_id": 21}]},
    {"name": "b", "data_id": 2, "rcSetting": {}, "dcSetting": [{"data_id": 22}]}]})";

TEST(DeviceOwner, SiteFileParsesChildIdsOnceAndOwnerFollowsThem) {
    const SiteConfig site = site_config_from_text(kTwoSystems, "site.json");
    ASSERT_EQ(site.power_systems.size(), 2u);
    EXPECT_EQ(site.power_systems[0].ac_data_ids, (std::vector<uint32_t>{12, 11}));  // the file's order
    EXPECT_EQ(site.power_systems[0].dc_data_ids, std::vector<uint32_t>{21});
    EXPECT_EQ(site.power_systems[0].device_ids(), (std::vector<uint32_t>{1, 12, 11, 21}));
    EXPECT_TRUE(site.power_systems[1].ac_data_ids.empty());
    const struct {
        uint32_t data_id;
        std::optional<size_t> owner;
    } cases[] = {{1, 0}, {11, 0}, {12, 0}, {21, 0}, {2, 1}, {22, 1}, {3, std::nullopt}, {0, std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(device_owner(site.power_systems, c.data_id), c.owner) << c.data_id;
        EXPECT_EQ(site_has_device(site, c.data_id), c.owner.has_value()) << c.data_id;
    }
}

// What a JsonWriter writes for `e`, parsed.
Json::Value json_line(const Event& e) {
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    JsonWriter(f).handle(e);
    std::rewind(f);
    char line[8192] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    return read ? parse_json(line) : Json::Value();
}

PublishedRecord dc_record(uint32_t id) {
    PublishedRecord r{id, "voka-dc", 5189, {}};
    r.decoded.type = &kDcRecord;
    r.decoded.fields["v"] = 53.6;
    r.decoded.fields["battery_currents"].append(2.5);
    return r;
}

// Values are compared as written: a parsed number and a made one differ in type only.
TEST(OnePresentation, RecordAndAlarmLookAlikeInTheStreamAndTheStateApi) {
    const SiteConfig site = site_config_from_text(kTwoSystems, "site.json");
    SiteSnapshot snapshot(site.name, site.power_systems, [] { return 1'765'252'800.0; });
    const PublishedRecord record = dc_record(22);
    const Alarm alarm{22, "DC_1", "battery low", 2, "70001", "battery", 1'765'252'000, 0};
    snapshot.handle(event::RecordPublished{"b", record});
    snapshot.handle(event::AlarmChanged{alarm, true});
    const Json::Value state = state_json(snapshot.copy(), 1'765'252'800)["systems"][1];

    const Json::Value streamed = json_line(event::RecordPublished{"b", record});
    const Json::Value& device = state["devices"][0];
    for (const char* key : {"data_id", "device_type", "record_type", "fields"})
        EXPECT_EQ(one_line_json(streamed[key]), one_line_json(device[key])) << key;

    const Json::Value streamed_alarm = json_line(event::AlarmChanged{alarm, true});
    const Json::Value& shown = state["alarms"][0];
    EXPECT_EQ(streamed_alarm["state"], "start");
    EXPECT_EQ(shown["started"], "2025-12-09T03:46:40Z");  // the page shows a time, the stream a number
    for (const char* key : {"data_id", "rule_id", "grade", "code", "name", "text"})
        EXPECT_EQ(one_line_json(streamed_alarm[key]), one_line_json(shown[key])) << key;
}

// Both JSON forms of the line's counters list every reason of a count by
// reason, zeros included, so a reader finds the same keys whatever happened.
TEST(OnePresentation, LineCountersListEveryReasonInTheStreamAndTheStateApi) {
    ExchangeCounters c;
    c.commands_sent = 7;
    c.answers = 5;
    c.rejected[static_cast<size_t>(frame::Error::checksum)] = 2;
    c.commands[0x4042].sent = 7;
    c.commands[0x4042].rejected[static_cast<size_t>(frame::Error::checksum)] = 2;
    const Json::Value stats = json_line(event::Stats{"a", c, 1, false});
    SystemState s;
    s.counters = c;
    s.reopenings = 1;
    const Json::Value counters = counters_json(s);

    const Json::Value& per_command = stats["commands"][0]["rejected"];
    ASSERT_EQ(per_command.size(), frame::kErrorKinds);
    ASSERT_EQ(counters["rejected"].size(), frame::kErrorKinds);
    for (size_t e = 0; e < frame::kErrorKinds; ++e) {
        const std::string reason(frame::key(frame::Error(e)));
        const unsigned expected = frame::Error(e) == frame::Error::checksum ? 2 : 0;
        EXPECT_EQ(per_command[reason].asUInt(), expected) << reason;
        EXPECT_EQ(counters["rejected"][reason].asUInt(), expected) << reason;
    }
    for (const char* key : {"sent", "answered", "retried", "late_answers", "noise_bytes", "reopenings"})
        EXPECT_EQ(one_line_json(stats[key]), one_line_json(counters[key])) << key;
    EXPECT_EQ(stats["sent"].asUInt(), 7u);
    EXPECT_EQ(stats["reopenings"].asUInt(), 1u);
}

// Sets the local time zone for one test and puts the old one back.
class LocalZone {
public:
    explicit LocalZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LocalZone() {
        if (old_) setenv("TZ", old_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(TimeText, EachFormatInZonesEastAndWestOfUtc) {
    const int64_t t = 1'765'252'815;  // 2025-12-09T04:00:15Z
    const struct {
        const char* zone;
        const char* iso, *text, *clock;
    } cases[] = {
        {"UTC0", "2025-12-09T04:00:15+00:00", "2025-12-09 04:00:15 +00:00", "2025-12-09 04:00:15"},
        {"XXX-1", "2025-12-09T05:00:15+01:00", "2025-12-09 05:00:15 +01:00", "2025-12-09 05:00:15"},
        {"XXX+3:30", "2025-12-09T00:30:15-03:30", "2025-12-09 00:30:15 -03:30", "2025-12-09 00:30:15"},
        {"XXX+5", "2025-12-08T23:00:15-05:00", "2025-12-08 23:00:15 -05:00", "2025-12-08 23:00:15"},
    };
    for (const auto& c : cases) {
        LocalZone zone(c.zone);
        EXPECT_EQ(iso_time(t), c.iso) << c.zone;
        EXPECT_EQ(local_time_text(t), c.text) << c.zone;
        EXPECT_EQ(local_clock_text(t), c.clock) << c.zone;
        EXPECT_EQ(utc_iso_time(t), "2025-12-09T04:00:15Z") << c.zone;
        EXPECT_EQ(parse_time(c.iso, 0), t) << c.zone;
    }
}

// MQTT sends an alarm to the system that owns its device, and one of a
// device no system has to none (the snapshot drops it the same way). The
// sink is not started: what it would send waits in each system's outbox.
TEST(DeviceOwner, MqttSendsAnAlarmToItsDevicesSystemOnly) {
    const SiteConfig site = site_config_from_text(kTwoSystems, "site.json");
    MqttConfig config;
    config.host = "127.0.0.1";
    config.client_id = "voka-test";
    config.site = "site";
    config.homeassistant = false;
    MqttSink sink(config, site.power_systems, [](const std::string&) {});
    const auto queued = [&sink] {
        std::vector<size_t> n;
        for (const PublisherFigures& f : sink.figures()) n.push_back(f.queued);
        return n;
    };
    const std::vector<size_t> before = queued();
    sink.handle(event::AlarmChanged{Alarm{99, "DC_1", "gone", 2, "1", "x", 1, 0}, true});
    EXPECT_EQ(queued(), before);
    sink.handle(event::AlarmChanged{Alarm{22, "DC_1", "battery low", 2, "1", "x", 1, 0}, true});
    const std::vector<size_t> after = queued();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[1] + 2);  // the event and the list of active alarms
}

}  // namespace
