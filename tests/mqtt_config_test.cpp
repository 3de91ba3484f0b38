// The "mqtt" object of a site file: a usable one read as written with its
// defaults, any other refused with the key named.
#include <filesystem>

#include <gtest/gtest.h>

#include "host/voka-host/mqtt/mqtt_config.h"
#include "host/voka-host/site_config.h"
#include "host/voka-host/mqtt/tls_files.h"
#include "tests/support/config_refusal.h"
#include "tests/support/end_to_end.h"
#include "tests/support/json.h"
#include "tests/support/test_certificates.h"

namespace {

// A folder of the test's own with a password file, a file that is no PEM and certificates.
struct Files : e2e::Workdir {
    Files() {
        write("pw", "s3cret\nignored\n");
        write("junk.pem", "not PEM");
        test_certificates::make(dir);
    }
    std::string site() const { return path("north.json"); }
};

std::string refusal(const std::string& json, const std::string& source) {
    return config_refusal([&] { mqtt_config_from_json(parse_json(json), source); });
}

}  // namespace

TEST(MqttConfig, ReadsSettingsWithDefaultsAndFilesBesideTheSite) {
    Files f;
    EXPECT_FALSE(mqtt_config_from_json(Json::Value(), f.site()));
    const auto plain = mqtt_config_from_json(parse_json(R"({"host": "b"})"), f.site());
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->port, 1883);
    EXPECT_EQ(plain->site, "north");  // the site file's name
    EXPECT_EQ(plain->client_id, "voka-north");
    EXPECT_TRUE(plain->homeassistant);

    const auto full = mqtt_config_from_json(parse_json(R"({"host": "b", "site": "s1", "username": "u",
        "password_file": "pw", "tls": {"ca_file": "ca.crt"}, "topic_prefix": "ops/power"})"), f.site());
    ASSERT_TRUE(full);
    EXPECT_EQ(full->port, 8883);  // TLS's port unless given
    EXPECT_EQ(full->password, "s3cret");  // the first line only
    EXPECT_EQ(full->tls->ca_file, (f.dir / "ca.crt").string());
    EXPECT_EQ(full->client_id, "voka-s1");
}

TEST(MqttConfig, RefusesWhatCannotConnectNamingTheKey) {
    Files f;
    const std::string s = f.site();
    const std::string missing = (f.dir / "nope").string();
    struct Case { std::string json, message; };
    const std::vector<Case> cases = {
        {R"([1])", "mqtt: must be an object"},
        {R"({"port": 1883})", "mqtt.host: is missing (the broker's host name or address)"},
        {R"({"host": ""})", "mqtt.host: must be a non-empty string"},
        {R"({"host": "b", "port": 0})", "mqtt.port: must be an integer from 1 to 65535"},
        {R"({"host": "b", "port": 65536})", "mqtt.port: must be an integer from 1 to 65535"},
        {R"({"host": "b", "port": "1883"})", "mqtt.port: must be an integer from 1 to 65535"},
        {R"({"host": "b", "keepalive_s": 4})", "mqtt.keepalive_s: must be an integer from 5 to 65535"},
        {R"({"host": "b", "qos": 3})", "mqtt.qos: must be an integer from 0 to 2"},
        {R"({"host": "b", "reconnect_min_ms": 2000, "reconnect_max_ms": 1000})",
         "mqtt.reconnect_max_ms: must not be below reconnect_min_ms (2000)"},
        {R"({"host": "b", "deadband": -1})", "mqtt.deadband: must be a number of 0 or more"},
        {R"({"host": "b", "homeassistant": 1})", "mqtt.homeassistant: must be true or false"},
        {R"({"host": "b", "hots": 1})", "mqtt.hots: is not a key of \"mqtt\" (host, port, client_id, topic_prefix, site, "
                                          "username, password_file, tls, keepalive_s, qos, deadband, homeassistant, "
                                          "reconnect_min_ms, reconnect_max_ms)"},
        {R"({"host": "b", "site": "a/b"})", "mqtt.site: must not hold '/', '+' or '#' (it is one topic level)"},
        {R"({"host": "b", "topic_prefix": "a/#"})", "mqtt.topic_prefix: must not hold '+' or '#', nor begin or end with '/'"},
        {R"({"host": "b", "password_file": "pw"})", "mqtt.password_file: needs mqtt.username"},
        {R"({"host": "b", "username": "u", "password_file": "nope"})", "mqtt.password_file: " + missing + " cannot be read"},
        {R"({"host": "b", "tls": {}})", "mqtt.tls.ca_file: is missing (the CA certificate the broker's is checked against)"},
        {R"({"host": "b", "tls": {"ca_file": "nope"}})", "mqtt.tls.ca_file: " + missing + " cannot be read"},
        {R"({"host": "b", "tls": {"ca_file": "ca.crt", "cert_file": "ca.crt"}})",
         "mqtt.tls.key_file: is missing (a client certificate needs both cert_file and key_file)"},
        {R"({"host": "b", "tls": {"ca_file": "ca.crt", "verify": true}})", "mqtt.tls.verify: is not a key of \"mqtt.tls\" (ca_file, cert_file, key_file, insecure)"},
        // Read as the library will: what it could never use is refused at start.
        {R"({"host": "b", "tls": {"ca_file": "junk.pem"}})", "mqtt.tls.ca_file: " + f.path("junk.pem") +
                                                              " holds no PEM certificate"},
        {R"({"host": "b", "tls": {"ca_file": "ca.crt", "cert_file": "client.key", "key_file": "client.key"}})",
         "mqtt.tls.cert_file: " + f.path("client.key") + " holds no PEM certificate"},
        {R"({"host": "b", "tls": {"ca_file": "ca.crt", "cert_file": "client.crt", "key_file": "client.crt"}})",
         "mqtt.tls.key_file: " + f.path("client.crt") + " holds no PEM private key that can be read without a "
                                                         "passphrase"},
        {R"({"host": "b", "tls": {"ca_file": "ca.crt", "cert_file": "client.crt", "key_file": "other.key"}})",
         "mqtt.tls.key_file: " + f.path("other.key") + " is not the key of the certificate in " +
             f.path("client.crt") + " (mqtt.tls.cert_file)"},
    };
    for (const auto& c : cases) EXPECT_EQ(refusal(c.json, s), s + ": " + c.message) << c.json;
}

// A power system's name is a topic level once the site publishes.
TEST(MqttConfig, SiteRefusesASystemNameThatCannotBeATopicLevel) {
    const std::string json = R"({"mqtt": {"host": "b"}, "power_systems": [{"name": "hall/1", "data_id": 1, "rcSetting": {}}]})";
    try {
        site_config_from_json(parse_json(json), "site.json");
        ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
        EXPECT_STREQ(e.what(), "site.json: power_systems[0].name: must not hold '/', '+' or '#' (it is a topic level)");
    }
}

// A certificate valid for two days from now: time problems are told with the
// file and the date, before its start and after its end, for the CA and the
// client certificate alike; none while it is valid.
TEST(MqttConfig, TellsWhichCertificateIsNotValidAtAGivenTime) {
    Files f;
    const auto config = mqtt_config_from_json(parse_json(R"({"host": "b", "tls": {"ca_file": "ca.crt",
        "cert_file": "client.crt", "key_file": "client.key"}})"), f.site());
    ASSERT_TRUE(config && config->tls);
    const std::time_t now = std::time(nullptr), day = 24 * 3600;
    EXPECT_TRUE(mqtt::tls_time_problems(*config->tls, now).empty());

    const auto later = mqtt::tls_time_problems(*config->tls, now + (test_certificates::kValidDays + 1) * day);
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[0].rfind("the CA certificate in " + f.path("ca.crt") + " (mqtt.tls.ca_file) expired on 20", 0), 0u)
        << later[0];
    EXPECT_EQ(later[1].rfind("the client certificate " + f.path("client.crt") + " (mqtt.tls.cert_file) expired on ",
                             0), 0u) << later[1];
    EXPECT_NE(later[1].find(": the broker will refuse it"), std::string::npos) << later[1];

    const auto earlier = mqtt::tls_time_problems(*config->tls, now - day);
    ASSERT_EQ(earlier.size(), 2u);
    EXPECT_NE(earlier[1].find(" is not valid before 20"), std::string::npos) << earlier[1];
}

// Names that become the same Home Assistant id (all but letters, digits, '_'
// and '-' made '_') would make one device of two: refused naming both, unless
// discovery is off; names that differ in the id are taken.
TEST(MqttConfig, SiteRefusesSystemsWhoseDiscoveryIdsCollide) {
    struct Case {
        std::string first, second, mqtt;
        std::string message;  // "" when accepted
    };
    const std::string collide = "site.json: power_systems[1].name: ";
    const std::vector<Case> cases = {
        {"hall 1", "hall_1", R"({"host": "b"})",
         collide + "\"hall_1\" gives the same Home Assistant id (voka_site_hall_1) as power_systems[0].name \"hall 1\": "
                   "rename one, or turn mqtt.homeassistant off"},
        {"hall.1", "hall:1", R"({"host": "b", "site": "north"})",
         collide + "\"hall:1\" gives the same Home Assistant id (voka_north_hall_1) as power_systems[0].name "
                   "\"hall.1\": rename one, or turn mqtt.homeassistant off"},
        {"hall 1", "hall_1", R"({"host": "b", "homeassistant": false})", ""},
        {"Hall", "hall", R"({"host": "b"})", ""},
        {"hall-1", "hall_1", R"({"host": "b"})", ""},
    };
    for (const Case& c : cases) {
        const std::string json = R"({"mqtt": )" + c.mqtt + R"(, "power_systems": [{"name": ")" + c.first +
                                 R"(", "data_id": 1, "rcSetting": {}}, {"name": ")" + c.second +
                                 R"(", "data_id": 2, "rcSetting": {}}]})";
        std::string refusal;
        try {
            site_config_from_json(parse_json(json), "site.json");
        } catch (const ConfigError& e) {
            refusal = e.what();
        }
        EXPECT_EQ(refusal, c.message) << c.first << " / " << c.second;
    }
}
