#include "host_program/http/http_config.h"

#include <fmt/format.h>

#include "host_program/http/basic_auth.h"
#include "host_program/site_config.h"

namespace {

[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    throw ConfigError(fmt::format("{}: {}: {}", source, key, problem));
}

std::string required_string(const Json::Value& obj, const char* key, const std::string& source,
                            const std::string& place) {
    if (!obj.isMember(key) || !obj[key].isString() || obj[key].asString().empty())
        fail(source, fmt::format("{}.{}", place, key), "must be a non-empty string");
    return obj[key].asString();
}

// A connection limit: a whole number from 1 to kMostConnections, or `fallback` when absent.
unsigned connection_count(const Json::Value& http, const char* key, unsigned fallback, const std::string& source) {
    constexpr unsigned kMostConnections = 1024;  // each holds a descriptor and its fixed memory
    if (!http.isMember(key)) return fallback;
    const Json::Value& v = http[key];
    if (!v.isIntegral() || !v.isInt64() || v.asInt64() < 1 || v.asInt64() > kMostConnections)
        fail(source, fmt::format("http.{}", key), fmt::format("must be an integer from 1 to {}", kMostConnections));
    return v.asUInt();
}

void require_auth_off_loopback(const HttpConfig& c, const std::string& source, const std::string& key) {
    if (!c.listen || c.listen->loopback()) return;
    if (!c.auth)
        fail(source, key,
             fmt::format("{} is reachable from other machines: it needs \"http\": {{\"auth\": {{\"user\": ..., "
                         "\"password_hash\": ...}}}}",
                         c.listen->text()));
    if (!c.tls && !c.plaintext)
        fail(source, key,
             fmt::format("{} is reachable from other machines, and without TLS the password travels in clear: it "
                         "needs \"http\": {{\"tls\": {{\"cert_file\": ..., \"key_file\": ...}}}}, or "
                         "\"plaintext\": true to accept that",
                         c.listen->text()));
}

}  // namespace

HttpConfig http_config_from_json(const Json::Value& http, const std::string& source) {
    HttpConfig c;
    if (http.isNull()) return c;
    if (!http.isObject()) fail(source, "http", "must be an object");
    for (const std::string& key : http.getMemberNames())
        if (key != "listen" && key != "auth" && key != "tls" && key != "plaintext" && key != "max_connections" &&
            key != "max_connections_per_address")
            fail(source, fmt::format("http.{}", key), "is not a setting of \"http\"");
    if (http.isMember("listen")) {
        if (!http["listen"].isString()) fail(source, "http.listen", "must be a string ADDR:PORT");
        auto parsed = parse_listen_address(http["listen"].asString());
        if (auto* why = std::get_if<std::string>(&parsed)) fail(source, "http.listen", *why);
        c.listen = std::get<ListenAddress>(parsed);
    }
    if (http.isMember("auth")) {
        const Json::Value& auth = http["auth"];
        if (!auth.isObject()) fail(source, "http.auth", "must be an object with \"user\" and \"password_hash\"");
        HttpAuthConfig a{required_string(auth, "user", source, "http.auth"), "", std::nullopt};
        if (auth["password_hash"].isObject()) {
            a.password_hash_file = credential_from_json(auth["password_hash"], source, "http.auth.password_hash",
                                                        credentials_directory_from_environment());
            a.password_hash = read_secret_line(*a.password_hash_file, source);
        } else {
            a.password_hash = required_string(auth, "password_hash", source, "http.auth");
        }
        if (a.user.find(':') != std::string::npos) fail(source, "http.auth.user", "must not contain ':'");
        if (!usable_password_hash(a.password_hash))
            fail(source, "http.auth.password_hash",
                 "must be a crypt(3) hash of a strong method ($6$, $5$, $y$, $2b$), as `mkpasswd -m sha-512` or "
                 "`openssl passwd -6` make it");
        c.auth = std::move(a);
    }
    if (http.isMember("tls")) c.tls = tls_config_from_json(http["tls"], source);
    if (http.isMember("plaintext")) {
        if (!http["plaintext"].isBool()) fail(source, "http.plaintext", "must be true or false");
        c.plaintext = http["plaintext"].asBool();
        if (c.plaintext && c.tls) fail(source, "http.plaintext", "true contradicts \"tls\"");
    }
    c.limits.max_connections = connection_count(http, "max_connections", c.limits.max_connections, source);
    c.limits.max_connections_per_address =
        connection_count(http, "max_connections_per_address", c.limits.max_connections_per_address, source);
    if (c.limits.max_connections_per_address > c.limits.max_connections)
        fail(source, "http.max_connections_per_address", "must not exceed http.max_connections");
    require_auth_off_loopback(c, source, "http.listen");
    return c;
}

HttpConfig with_listen_option(HttpConfig config, const std::optional<ListenAddress>& listen,
                              const std::string& source) {
    if (!listen) return config;
    config.listen = listen;
    require_auth_off_loopback(config, source, "--listen");
    return config;
}
