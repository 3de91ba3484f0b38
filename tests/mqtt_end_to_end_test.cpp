// voka-host publishing to a real broker: the simulator's values, a module
// fault's alarm start and end, the status with its last will, a broker away
// for ten seconds, and a broker that wants a password over TLS.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/end_to_end.h"
#include "tests/support/http_client.h"
#include "tests/support/mqtt_broker.h"
#include "tests/support/test_certificates.h"

namespace {

using namespace e2e;
using namespace mqtt_test;
using Clock = std::chrono::steady_clock;

// One power system on the embedded simulator, polled every `poll_ms`.
std::string site_file(const Workdir& w, const std::string& scenario, int poll_ms, const std::string& mqtt,
                      const std::string& name = "north.json") {
    w.write("s.json", scenario);
    return w.write(name, R"({"mqtt": )" + mqtt + R"(, "power_systems": [{"name": "solo", "data_id": 1,
        "scenario": "s.json", "poll_interval_ms": )" + std::to_string(poll_ms) + R"(, "answer_timeout_ms": 300,
        "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]})");
}

// Back-off capped at 2 s, so that the broker's return is noticed soon.
std::string plain_mqtt(int port) {
    return R"({"host": "127.0.0.1", "reconnect_max_ms": 2000, "port": )" + std::to_string(port) + "}";
}

const std::string kTopic = "voka/north/solo/";

// A sample's value in a /metrics text; -1 when the sample is not there.
double sample(const std::string& metrics, const std::string& series) {
    const size_t at = metrics.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(metrics.substr(at + series.size() + 2));
}

// The alarm events in voka-host's --json stream, as their published form's identity.
std::string identity(const Json::Value& e) {
    return e["state"].asString() + " " + e["rule_id"].asString() + " " + e["text"].asString() + " " +
           std::to_string(e["started"].asInt64());
}

}  // namespace

TEST(MqttEndToEnd, PublishesValuesAlarmsAndStatusWithALastWill) {
    Workdir w;
    Broker broker(w.dir, "allow_anonymous true");
    Subscriber sub(broker.port, {"voka/#", "homeassistant/#"}, {});
    const std::string config = site_file(w, R"({"equipment": {"baud_rate": 115200},
        "site": {"dc": [{"v": 53.6}], "modules": [{"current": 14.2}, {"current": 13.9}, {"current": 14.1}]},
        "changes": [{"from_round": 3, "until_round": 4, "set": {"modules[1].fault": 1}}]})",
                                         100, plain_mqtt(broker.port));
    ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", w.path("h.db")});
    std::thread reader([&host] { host.remaining_lines(); });  // a full pipe would stop its polling
    struct Join {
        std::thread& t;
        ~Join() { t.join(); }
    } join{reader};

    ASSERT_TRUE(sub.wait_for([](const std::vector<Message>& all) {
        int events = 0;
        for (const Message& m : all) events += m.topic == kTopic + "alarm/event";
        return events >= 2;
    })) << host.errors();
    std::vector<std::string> states;
    for (const Message& m : sub.on(kTopic + "alarm/event")) {
        const Json::Value e = parse_json(m.payload);
        EXPECT_EQ(e["rule_id"].asString(), "RC_0");
        EXPECT_EQ(e["data_id"].asUInt(), 1u);
        states.push_back(e["state"].asString());
    }
    EXPECT_EQ(states, (std::vector<std::string>{"start", "end"}));
    ASSERT_TRUE(sub.wait_for_payload(kTopic + "alarms", "[]"));

    // The simulator's values on their devices' topics.
    const auto dc = sub.on(kTopic + "21/state");
    ASSERT_FALSE(dc.empty());
    EXPECT_DOUBLE_EQ(parse_json(dc.back().payload)["v"].asDouble(), 53.6);
    const auto rc = sub.on(kTopic + "1/state");
    ASSERT_FALSE(rc.empty());
    EXPECT_DOUBLE_EQ(parse_json(rc.back().payload)["modules"][1]["current"].asDouble(), 13.9);
    EXPECT_FALSE(sub.on(kTopic + "11/state").empty());
    const auto module = sub.on("homeassistant/sensor/voka_north_solo/1_module_1_current/config");
    ASSERT_FALSE(module.empty());
    EXPECT_EQ(parse_json(module.back().payload)["state_topic"].asString(), kTopic + "1/state");

    // A consumer that comes later gets the status retained; after a kill, the will.
    {
        Subscriber late(broker.port, {kTopic + "status"}, {});
        ASSERT_TRUE(late.wait_for_payload(kTopic + "status", "online", 5000));
        EXPECT_TRUE(late.on(kTopic + "status").front().retained);
    }
    host.signal(SIGKILL);
    EXPECT_EQ(host.exit_status(), 128 + SIGKILL);
    ASSERT_TRUE(sub.wait_for_payload(kTopic + "status", "offline", 10'000));
    Subscriber after(broker.port, {kTopic + "status"}, {});
    ASSERT_TRUE(after.wait_for_payload(kTopic + "status", "offline", 5000));
    EXPECT_TRUE(after.on(kTopic + "status").front().retained);
}

// Polling goes on while the broker is away; every alarm event of that time
// reaches a subscriber once the broker is back, and none twice; /metrics
// shows the connection down and messages waiting meanwhile.
TEST(MqttEndToEnd, BrokerAwayTenSecondsLosesNoAlarmEvent) {
    Workdir w;
    const std::string store = w.path("store") + "/";
    std::filesystem::create_directories(store);
    Broker broker(w.dir, "allow_anonymous true\npersistence true\npersistence_location " + store);
    Subscriber sub(broker.port, {"voka/+/+/alarm/event"}, {.client_id = "watcher", .persistent = true});
    // Module 1 faulty for 4 rounds in every 8, from round 4 on: an alarm start or end every second.
    std::string changes;
    for (int r = 4; r < 400; r += 8)
        changes += (changes.empty() ? "" : ",") + std::string(R"({"from_round": )") + std::to_string(r) +
                   R"(, "until_round": )" + std::to_string(r + 3) + R"(, "set": {"modules[0].fault": 1}})";
    const std::string config = site_file(w, R"({"equipment": {"baud_rate": 115200}, "changes": [)" + changes + "]}",
                                         250, plain_mqtt(broker.port));
    ChildProcess host(VOKA_HOST_PATH, {config, "--json", "--db", w.path("h.db"), "--listen", "127.0.0.1:0"});

    std::vector<std::string> published;  // voka-host's alarm events, in order
    unsigned rounds = 0;
    uint16_t http_port = 0;
    const std::string serving = "voka-host: serving HTTP on ";
    const auto read_until = [&](Clock::time_point until) {
        while (Clock::now() < until) {
            const auto line = host.next_line(200);
            if (!line) continue;
            const Json::Value e = parse_json(*line);
            rounds += e["event"].asString() == "round" && e["complete"].asBool();
            if (e["event"].asString() == "alarm") published.push_back(identity(e));
            const std::string text = e["text"].asString();
            if (e["event"].asString() == "notice" && text.rfind(serving, 0) == 0)
                http_port = static_cast<uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
        }
    };
    const auto metrics = [&] { return http_get(http_port, "/metrics").body; };
    read_until(Clock::now() + std::chrono::seconds(4));
    ASSERT_TRUE(sub.wait_for([&](const std::vector<Message>& all) { return all.size() >= published.size(); }, 5000));
    ASSERT_FALSE(published.empty()) << host.errors();
    ASSERT_NE(http_port, 0);
    EXPECT_EQ(sample(metrics(), "voka_mqtt_connected{system=\"solo\"}"), 1);

    broker.stop();
    const size_t before = published.size();
    const unsigned rounds_before = rounds;
    read_until(Clock::now() + std::chrono::seconds(10));
    const size_t while_away = published.size() - before;
    EXPECT_GE(rounds - rounds_before, 20u);  // 40 at 250 ms; polling did not wait for the broker
    EXPECT_GE(while_away, 4u);
    const std::string away = metrics();
    EXPECT_EQ(sample(away, "voka_mqtt_connected{system=\"solo\"}"), 0) << away;
    EXPECT_GE(sample(away, "voka_mqtt_queued_messages{system=\"solo\"}"), static_cast<double>(while_away)) << away;
    EXPECT_EQ(sample(away, "voka_mqtt_dropped_messages_total{system=\"solo\",kind=\"event\"}"), 0) << away;
    broker.start();
    read_until(Clock::now() + std::chrono::seconds(2));

    const bool all_arrived = sub.wait_for([&](const std::vector<Message>& all) { return all.size() >= published.size(); });
    EXPECT_EQ(sample(metrics(), "voka_mqtt_connected{system=\"solo\"}"), 1);
    host.signal(SIGTERM);
    host.remaining_lines();
    EXPECT_TRUE(all_arrived) << host.errors();
    std::map<std::string, int> received;
    for (const Message& m : sub.messages()) ++received[identity(parse_json(m.payload))];
    for (const std::string& p : published) EXPECT_EQ(received[p], 1) << p;
}

// Credentials over TLS with a CA and server certificate made here; a wrong
// password is reported once and tried again with back-off.
TEST(MqttEndToEnd, PasswordOverTlsAndAWrongPasswordReportedOnce) {
    Workdir w;
    const std::string d = w.dir.string() + "/";
    const std::string make_certs =
        "cd " + d + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key "
        "-out ca.crt -days 2 -subj /CN=voka-test-ca 2>/dev/null && openssl req -newkey ec -pkeyopt "
        "ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null && "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext && openssl x509 -req -in server.csr -CA ca.crt "
        "-CAkey ca.key -CAcreateserial -out server.crt -days 2 -extfile san.ext 2>/dev/null && "
        "mosquitto_passwd -b -c passwords voka right-one && chmod 0644 passwords server.key";
    ASSERT_EQ(std::system(make_certs.c_str()), 0) << "openssl and mosquitto_passwd are needed (scripts/install-deps.sh)";
    // The right password as the service gets it: a credential in $CREDENTIALS_DIRECTORY.
    fs::create_directories(w.dir / "credentials");
    w.write("credentials/voka.mqtt-password", "right-one\n");
    setenv("CREDENTIALS_DIRECTORY", w.path("credentials").c_str(), 1);
    fs::permissions(w.write("wrong.pw", "wrong-one\n"), fs::perms::owner_read | fs::perms::owner_write);
    Broker broker(w.dir, "allow_anonymous false\npassword_file " + d + "passwords\ncafile " + d + "ca.crt\ncertfile " +
                             d + "server.crt\nkeyfile " + d + "server.key\nlog_dest file " + d + "broker.log\n" +
                             "connection_messages true");
    Subscriber sub(broker.port, {"voka/#"},
                   {.username = "voka", .password = "right-one", .ca_file = d + "ca.crt", .host = "localhost"});
    const auto mqtt = [&](const std::string& pw, const std::string& client) {
        return R"({"host": "localhost", "port": )" + std::to_string(broker.port) +
               R"(, "username": "voka", "password_file": )" + pw + R"(, "client_id": ")" + client +
               R"(", "tls": {"ca_file": "ca.crt"}})";
    };
    const std::string scenario = R"({"equipment": {"baud_rate": 115200}})";
    const std::string good = site_file(w, scenario, 200, mqtt(R"({"credential": "voka.mqtt-password"})", "good"));
    const std::string bad_site = site_file(w, scenario, 200, mqtt(R"("wrong.pw")", "bad"), "bad.json");
    ChildProcess host(VOKA_HOST_PATH, {good, "--json", "--db", w.path("good.db")});
    ChildProcess bad(VOKA_HOST_PATH, {bad_site, "--json", "--db", w.path("bad.db")});
    EXPECT_TRUE(sub.wait_for_payload(kTopic + "status", "online")) << host.errors();
    EXPECT_TRUE(sub.wait_for_payload(kTopic + "21/state")) << host.errors();

    std::vector<std::string> refusals;
    for (const auto until = Clock::now() + std::chrono::seconds(6); Clock::now() < until;) {
        while (host.next_line(0)) {  // read on, so that its output never stops it
        }
        const auto line = bad.next_line(100);
        if (!line) continue;
        const Json::Value e = parse_json(*line);
        if (e["event"].asString() == "notice" && e["text"].asString().find("mqtt") != std::string::npos)
            refusals.push_back(e["text"].asString());
    }
    ASSERT_EQ(refusals.size(), 1u) << ::testing::PrintToString(refusals);
    EXPECT_NE(refusals[0].find("\"bad-solo\": the broker refused the connection: Connection Refused: not authorised"),
              std::string::npos) << refusals[0];
    // Tried again meanwhile: the broker turned it away more than once (only this host has a wrong password).
    std::ifstream log(d + "broker.log");
    int turned_away = 0;
    for (std::string l; std::getline(log, l);) turned_away += l.find("disconnected, not authorised") != std::string::npos;
    EXPECT_GE(turned_away, 2);
    host.signal(SIGTERM);
    bad.signal(SIGTERM);
    host.remaining_lines();
    bad.remaining_lines();
    EXPECT_EQ(host.exit_status(), 0);
    EXPECT_TRUE(sub.wait_for_payload(kTopic + "status", "offline", 5000));  // a clean stop says so too
    unsetenv("CREDENTIALS_DIRECTORY");
}

// A broker whose certificate the configured CA did not sign: the failure
// says why (OpenSSL's reason, through the library's log), not only "A TLS
// error occurred"; the same site with the right CA connects.
TEST(MqttEndToEnd, ATlsFailureNamesItsCause) {
    Workdir w;
    test_certificates::make(w.dir);
    const std::string d = w.dir.string() + "/";
    Broker broker(w.dir, "allow_anonymous true\ncafile " + d + "ca.crt\ncertfile " + d + "server.crt\nkeyfile " + d +
                             "server.key");
    const auto mqtt = [&](const std::string& ca) {
        return R"({"host": "localhost", "reconnect_max_ms": 1000, "port": )" + std::to_string(broker.port) +
               R"(, "tls": {"ca_file": ")" + ca + R"("}})";
    };
    const std::string scenario = R"({"equipment": {"baud_rate": 115200}})";
    ChildProcess host(VOKA_HOST_PATH, {site_file(w, scenario, 200, mqtt("stranger.crt")), "--json", "--db",
                                       w.path("h.db")});
    std::string trouble;
    for (const auto until = Clock::now() + std::chrono::seconds(10); trouble.empty() && Clock::now() < until;) {
        const auto line = host.next_line(200);
        if (!line) continue;
        const Json::Value e = parse_json(*line);
        if (e["event"].asString() == "notice" && e["text"].asString().find("mqtt: ") != std::string::npos)
            trouble = e["text"].asString();
    }
    EXPECT_NE(trouble.find(": A TLS error occurred (certificate verify failed); trying again"), std::string::npos)
        << trouble << host.errors();
    host.signal(SIGTERM);
    host.remaining_lines();
    EXPECT_EQ(host.exit_status(), 0);

    Subscriber sub(broker.port, {"voka/#"}, {.ca_file = d + "ca.crt", .host = "localhost"});
    ChildProcess good(VOKA_HOST_PATH, {site_file(w, scenario, 200, mqtt("ca.crt"), "good.json"), "--json", "--db",
                                       w.path("good.db")});
    EXPECT_TRUE(sub.wait_for_payload("voka/good/solo/status", "online")) << good.errors();
    good.signal(SIGTERM);
    good.remaining_lines();
    EXPECT_EQ(good.exit_status(), 0);
}
