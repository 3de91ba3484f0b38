// What the HTTP side accepts before it answers: listen addresses, the
// "http" configuration, basic-authentication credentials and history queries.
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "host/voka-host/http/api_pages.h"
#include "host/voka-host/http/basic_auth.h"
#include "host/voka-host/http/http_config.h"
#include "host/voka-host/http/listen_address.h"
#include "host/voka-host/site_config.h"
#include "tests/support/config_refusal.h"
#include "tests/support/json.h"

namespace {

// openssl passwd -6 -salt abcdefgh 's3cret:pass'
const std::string kHash =
    "$6$abcdefgh$UdAaYF6HFqfFy2NZ5dhO20ih7xep4vyownVVyYNIzh0VPdB8zQAwuEYxbJo8L3E9/yJE4E1OgtM75gKdzUzIm.";

std::string config_error(const std::string& http_json) {
    return config_refusal([&] { http_config_from_json(parse_json(http_json), "site.json"); });
}

}  // namespace

TEST(ListenAddress, TakesNumericAddressesWithAPortAndKnowsLoopback) {
    struct Case {
        std::string text;
        bool valid;
        const char* host;
        unsigned port;
        bool loopback;
    } cases[] = {
        {"127.0.0.1:9108", true, "127.0.0.1", 9108, true},
        {"[::1]:9108", true, "::1", 9108, true},
        {"0.0.0.0:9108", true, "0.0.0.0", 9108, false},
        {"192.168.1.20:65535", true, "192.168.1.20", 65535, false},
        {"127.0.0.1:0", true, "127.0.0.1", 0, true},
        {"localhost:9108", false, "", 0, false},  // names would need a resolver at start-up
        {"127.0.0.1", false, "", 0, false},
        {"127.0.0.1:65536", false, "", 0, false},
        {"::1:9108", false, "", 0, false},  // IPv6 needs brackets
        {":9108", false, "", 0, false},
        {std::string("127.0.0.1\0x:80", 14), false, "", 0, false},  // a NUL would end the address early
    };
    for (const Case& c : cases) {
        const auto parsed = parse_listen_address(c.text);
        ASSERT_EQ(std::holds_alternative<ListenAddress>(parsed), c.valid) << c.text;
        if (!c.valid) {
            EXPECT_NE(std::get<std::string>(parsed).find("ADDR:PORT"), std::string::npos) << c.text;
            continue;
        }
        const ListenAddress& a = std::get<ListenAddress>(parsed);
        EXPECT_EQ(a.host, c.host);
        EXPECT_EQ(a.port, c.port);
        EXPECT_EQ(a.loopback(), c.loopback) << c.text;
        EXPECT_EQ(a.text(), c.text);
    }
}

TEST(HttpConfig, RefusesWhatCannotBeServedSafelyAndNamesTheKey) {
    struct Case {
        std::string json;
        const char* key;  // "" when it is accepted
    } cases[] = {
        {"null", ""},
        {R"({"listen": "127.0.0.1:9108"})", ""},
        {R"({"listen": "0.0.0.0:9108", "plaintext": true, "auth": {"user": "m", "password_hash": ")" + kHash +
             R"("}})",
         ""},
        {R"({"listen": "0.0.0.0:9108"})", "site.json: http.listen: 0.0.0.0:9108 is reachable"},
        {R"({"listen": 9108})", "http.listen: must be a string"},
        {R"({"listen": "localhost:9108"})", "http.listen:"},
        {R"({"listen": "127.0.0.1:9108", "port": 1})", "http.port: is not a key of \"http\" (listen, auth"},
        {R"({"auth": {"password_hash": ")" + kHash + R"("}})", "http.auth.user:"},
        {R"({"auth": {"user": "a:b", "password_hash": ")" + kHash + R"("}})", "http.auth.user: must not contain"},
        {R"({"auth": {"user": "m", "password_hash": "plain"}})", "http.auth.password_hash:"},
        {R"({"auth": {"user": "m", "password_hash": "$1$abc$weakmd5hashxxxxxxxxx"}})", "http.auth.password_hash:"},
        {R"({"auth": {"user": "m", "password_hash": "$6$"}})", "http.auth.password_hash:"},
        {R"("127.0.0.1:9108")", "http: must be an object"},
        {R"({"max_connections": 16, "max_connections_per_address": 16})", ""},
        {R"({"max_connections": 0})", "http.max_connections: must be an integer from 1 to 1024"},
        {R"({"max_connections": 1025})", "http.max_connections: must be an integer"},
        {R"({"max_connections": "64"})", "http.max_connections: must be an integer"},
        {R"({"max_connections_per_address": 2.5})", "http.max_connections_per_address: must be an integer"},
        {R"({"max_connections": 4, "max_connections_per_address": 5})",
         "http.max_connections_per_address: must not exceed"},
    };
    for (const Case& c : cases) {
        const std::string error = config_error(c.json);
        if (*c.key == '\0')
            EXPECT_EQ(error, "") << c.json;
        else
            EXPECT_NE(error.find(c.key), std::string::npos) << c.json << " gave: " << error;
    }
    const HttpConfig limited = http_config_from_json(
        parse_json(R"({"max_connections": 16, "max_connections_per_address": 2})"), "s");
    EXPECT_EQ(limited.limits.max_connections, 16u);
    EXPECT_EQ(limited.limits.max_connections_per_address, 2u);
    EXPECT_EQ(http_config_from_json(parse_json("{}"), "s").limits, HttpLimits{});
    // --listen takes the place of "listen" and is held to the same rule.
    const HttpConfig loopback = http_config_from_json(parse_json(R"({"listen": "127.0.0.1:9108"})"), "s");
    const auto everywhere = std::get<ListenAddress>(parse_listen_address("0.0.0.0:1"));
    EXPECT_THROW(with_listen_option(loopback, everywhere, "s"), ConfigError);
    EXPECT_EQ(with_listen_option(HttpConfig{}, std::get<ListenAddress>(parse_listen_address("[::1]:7")), "s")
                  .listen->port,
              7u);
}

TEST(BasicAuth, AcceptsOnlyTheRightUserAndPassword) {
    const BasicAuth auth("monitor", kHash);
    struct Case {
        const char* header;
        bool accepted;
    } cases[] = {
        {"Basic bW9uaXRvcjpzM2NyZXQ6cGFzcw==", true},   // monitor:s3cret:pass (a colon in the password)
        {"basic bW9uaXRvcjpzM2NyZXQ6cGFzcw==", true},   // the scheme is case-insensitive
        {"Basic bW9uaXRvcjpzM2NyZXQ6cGFzcw", false},    // padding missing
        {"Basic bW9uaXRvcjpzM2NyZXQ6cGFzUw==", false},  // monitor:s3cret:pasS
        {"Basic b3RoZXI6czNjcmV0OnBhc3M=", false},      // other:s3cret:pass
        {"Basic bW9uaXRvcg==", false},                  // monitor, no colon
        {"Basic bW9u=XRvcjpzM2NyZXQ6cGFzcw==", false},  // padding inside
        {"Bearer bW9uaXRvcjpzM2NyZXQ6cGFzcw==", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(auth.accepts(c.header), c.accepted) << c.header;

    const auto credential = parse_basic_authorization("Basic dTpwOnE=");  // u:p:q
    ASSERT_TRUE(credential);
    EXPECT_EQ(credential->user, "u");
    EXPECT_EQ(credential->password, "p:q");
    EXPECT_TRUE(equal_in_constant_time("abc", "abc"));
    EXPECT_FALSE(equal_in_constant_time("abc", "abd"));
    EXPECT_FALSE(equal_in_constant_time("abc", "abcd"));
}

TEST(HistoryQuery, TakesDataIdSinceAndABoundedLimit) {
    constexpr int64_t kNow = 1'765'252'800;
    struct Case {
        std::multimap<std::string, std::string> params;
        const char* error;  // "" when accepted
        uint32_t data_id = 0;
        size_t limit = 0;
        std::optional<int64_t> since = {};
    } cases[] = {
        {{{"data_id", "21"}}, "", 21, kDefaultHistoryLimit, std::nullopt},
        {{{"data_id", "21"}, {"limit", "10000"}, {"since", "2h"}}, "", 21, 10000, kNow - 7200},
        {{{"data_id", "4294967295"}, {"since", "2025-12-09T03:00:00Z"}}, "", 4294967295u, 100, kNow - 3600},
        {{}, "data_id is missing", 0, 0, std::nullopt},
        {{{"data_id", "4294967296"}}, "data_id must be", 0, 0, std::nullopt},
        {{{"data_id", "21x"}}, "data_id must be", 0, 0, std::nullopt},
        {{{"data_id", "21"}, {"limit", "10001"}}, "limit must be from 1 to 10000", 0, 0, std::nullopt},
        {{{"data_id", "21"}, {"since", "yesterday"}}, "since must be", 0, 0, std::nullopt},
        {{{"data_id", "21"}, {"data_id", "22"}}, "\"data_id\" is given more than once"},
        {{{"data_id", "21"}, {"until", "1h"}}, "unknown parameter \"until\""},
        {{{"data_id", "21"}, {"points", "1000"}}, "points needs since"},
        {{{"data_id", "21"}, {"since", "7d"}, {"points", "1001"}}, "points must be from 1 to 1000"},
        {{{"data_id", "21"}, {"since", "7d"}, {"points", "0"}}, "points must be from 1 to 1000"},
        {{{"data_id", "21"}, {"since", "7d"}, {"points", "10"}, {"limit", "5"}}, "limit does not go with points"},
        {{{"data_id", "21"}, {"since", "7d"}, {"points", "10"}, {"format", "csv"}}, "format=csv does not go with points"},
        {{{"data_id", "21"}, {"values", "v"}}, "values goes only with points"},
        {{{"data_id", "21"}, {"format", "xml"}}, "format must be json or csv"},
        {{{"data_id", "21"}, {"since", "2030-01-01T00:00:00Z"}, {"points", "10"}}, "since must not be after now"},
    };
    for (const Case& c : cases) {
        const auto q = history_query(c.params, kNow);
        if (*c.error) {
            ASSERT_TRUE(std::holds_alternative<std::string>(q)) << c.error;
            EXPECT_NE(std::get<std::string>(q).find(c.error), std::string::npos) << std::get<std::string>(q);
            EXPECT_EQ(std::get<std::string>(q).find('\n'), std::string::npos);  // one line
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<HistoryAsk>(q)) << std::get<std::string>(q);
        const HistoryQuery& h = std::get<HistoryAsk>(q).query;
        EXPECT_EQ(h.data_id, c.data_id);
        EXPECT_EQ(h.limit, c.limit);
        EXPECT_EQ(h.since, c.since);
        EXPECT_TRUE(h.newest_first);
        EXPECT_EQ(std::get<HistoryAsk>(q).points, 0u);
    }
}

// With points the range runs from since to now, oldest first, every row read.
TEST(HistoryQuery, TakesAReductionFromSinceToNow) {
    constexpr int64_t kNow = 1'765'252'800;
    const auto q = history_query({{"data_id", "1"}, {"since", "7d"}, {"points", "1000"}, {"values", "v,,i,v"}}, kNow);
    ASSERT_TRUE(std::holds_alternative<HistoryAsk>(q)) << std::get<std::string>(q);
    const HistoryAsk& a = std::get<HistoryAsk>(q);
    EXPECT_EQ(a.points, 1000u);
    EXPECT_EQ(a.values, (std::set<std::string>{"i", "v"}));
    EXPECT_EQ(a.query.since, kNow - 7 * 86400);
    EXPECT_EQ(a.query.until, kNow);
    EXPECT_EQ(a.query.limit, 0u);
    EXPECT_FALSE(a.query.newest_first);
    const auto csv = history_query({{"data_id", "1"}, {"format", "csv"}}, kNow);
    ASSERT_TRUE(std::holds_alternative<HistoryAsk>(csv));
    EXPECT_TRUE(std::get<HistoryAsk>(csv).csv);
}

TEST(AlarmQuery, TakesSinceDataIdAndABoundedLimit) {
    constexpr int64_t kNow = 1'765'252'800;
    struct Case {
        std::multimap<std::string, std::string> params;
        const char* error;  // "" when accepted
        size_t limit = 0;
        std::optional<int64_t> since = {};
        std::optional<uint32_t> data_id = {};
    } cases[] = {
        {{}, "", kDefaultHistoryLimit},
        {{{"since", "1h"}, {"limit", "10000"}, {"data_id", "2"}}, "", 10000, kNow - 3600, 2u},
        {{{"limit", "0"}}, "limit must be from 1 to 10000"},
        {{{"limit", "10001"}}, "limit must be from 1 to 10000"},
        {{{"since", "soon"}}, "since must be"},
        {{{"data_id", "-1"}}, "data_id must be"},
        {{{"since", "1h"}, {"since", "2h"}}, "\"since\" is given more than once"},
        {{{"grade", "2"}}, "unknown parameter \"grade\""},
    };
    for (const Case& c : cases) {
        const auto q = alarm_query(c.params, kNow);
        if (*c.error) {
            ASSERT_TRUE(std::holds_alternative<std::string>(q)) << c.error;
            EXPECT_NE(std::get<std::string>(q).find(c.error), std::string::npos) << std::get<std::string>(q);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<AlarmLogQuery>(q)) << std::get<std::string>(q);
        EXPECT_EQ(std::get<AlarmLogQuery>(q).limit, c.limit);
        EXPECT_EQ(std::get<AlarmLogQuery>(q).since, c.since);
        EXPECT_EQ(std::get<AlarmLogQuery>(q).data_id, c.data_id);
    }
}
