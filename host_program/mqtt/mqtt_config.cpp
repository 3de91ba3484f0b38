#include "host_program/mqtt/mqtt_config.h"

#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "host_program/mqtt/tls_files.h"
#include "host_program/site_config.h"

namespace {

constexpr const char* kKeys[] = {"host",     "port",          "client_id", "topic_prefix", "site",
                                 "username", "password_file", "tls",       "keepalive_s",  "qos",
                                 "deadband", "homeassistant", "reconnect_min_ms", "reconnect_max_ms"};
constexpr const char* kTlsKeys[] = {"ca_file", "cert_file", "key_file", "insecure"};

[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    throw ConfigError(fmt::format("{}: mqtt.{}: {}", source, key, problem));
}

template <size_t N>
void refuse_unknown(const Json::Value& obj, const char* const (&keys)[N], const std::string& source,
                    const std::string& place) {
    for (const auto& name : obj.getMemberNames()) {
        bool known = false;
        for (const char* k : keys) known = known || name == k;
        if (!known) fail(source, place + name, "is not an mqtt setting");
    }
}

std::optional<std::string> text(const Json::Value& obj, const char* key, const std::string& source,
                                const std::string& place = "") {
    if (!obj.isMember(key)) return std::nullopt;
    if (!obj[key].isString() || obj[key].asString().empty()) fail(source, place + key, "must be a non-empty string");
    return obj[key].asString();
}

std::optional<int> integer(const Json::Value& obj, const char* key, int lo, int hi, const std::string& source) {
    if (!obj.isMember(key)) return std::nullopt;
    const Json::Value& v = obj[key];
    if (!v.isIntegral() || !v.isInt64() || v.asInt64() < lo || v.asInt64() > hi)
        fail(source, key, fmt::format("must be an integer from {} to {}", lo, hi));
    return static_cast<int>(v.asInt64());
}

bool flag(const Json::Value& obj, const char* key, bool otherwise, const std::string& source,
          const std::string& place = "") {
    if (!obj.isMember(key)) return otherwise;
    if (!obj[key].isBool()) fail(source, place + key, "must be true or false");
    return obj[key].asBool();
}

// A file name as written, taken from the site file's folder when relative.
std::string beside(const std::string& source, const std::string& file) {
    const std::filesystem::path p(file);
    if (p.is_absolute()) return file;
    return (std::filesystem::path(source).parent_path() / p).string();
}

std::string readable_file(const Json::Value& obj, const char* key, const std::string& source,
                          const std::string& place = "") {
    const std::string path = beside(source, *text(obj, key, source, place));
    if (!std::ifstream(path, std::ios::binary) || std::filesystem::is_directory(path))
        fail(source, place + key, fmt::format("{} cannot be read", path));
    return path;
}

MqttTls tls_from_json(const Json::Value& t, const std::string& source) {
    if (!t.isObject()) fail(source, "tls", "must be an object");
    refuse_unknown(t, kTlsKeys, source, "tls.");
    if (!t.isMember("ca_file")) fail(source, "tls.ca_file", "is missing (the CA certificate the broker's is checked against)");
    MqttTls tls;
    tls.ca_file = readable_file(t, "ca_file", source, "tls.");
    if (t.isMember("cert_file") != t.isMember("key_file"))
        fail(source, t.isMember("cert_file") ? "tls.key_file" : "tls.cert_file",
             "is missing (a client certificate needs both cert_file and key_file)");
    if (t.isMember("cert_file")) {
        tls.cert_file = readable_file(t, "cert_file", source, "tls.");
        tls.key_file = secret_file_from_json(t["key_file"], source, "mqtt.tls.key_file",
                                             credentials_directory_from_environment());
    }
    tls.insecure = flag(t, "insecure", false, source, "tls.");
    mqtt::check_tls_files(tls, source);
    return tls;
}

std::string default_site(const std::string& source) {
    const std::string stem = std::filesystem::path(source).stem().string();
    return is_topic_level(stem) ? stem : "site";
}

}  // namespace

bool is_topic_level(const std::string& name) {
    return !name.empty() && name.find_first_of(std::string("/+#\0", 4)) == std::string::npos;
}

std::optional<MqttConfig> mqtt_config_from_json(const Json::Value& m, const std::string& source) {
    if (m.isNull()) return std::nullopt;
    if (!m.isObject()) throw ConfigError(fmt::format("{}: mqtt: must be an object", source));
    refuse_unknown(m, kKeys, source, "");
    MqttConfig c;
    const auto host = text(m, "host", source);
    if (!host) fail(source, "host", "is missing (the broker's host name or address)");
    c.host = *host;
    if (m.isMember("tls")) {
        c.tls = tls_from_json(m["tls"], source);
        c.port = 8883;
    }
    c.port = integer(m, "port", 1, 65535, source).value_or(c.port);
    c.site = text(m, "site", source).value_or(default_site(source));
    if (!is_topic_level(c.site)) fail(source, "site", "must not hold '/', '+' or '#' (it is one topic level)");
    c.topic_prefix = text(m, "topic_prefix", source).value_or(c.topic_prefix);
    if (c.topic_prefix.find_first_of("+#") != std::string::npos || c.topic_prefix.front() == '/' ||
        c.topic_prefix.back() == '/')
        fail(source, "topic_prefix", "must not hold '+' or '#', nor begin or end with '/'");
    c.client_id = text(m, "client_id", source).value_or("voka-" + c.site);
    c.username = text(m, "username", source);
    if (m.isMember("password_file")) {
        if (!c.username) fail(source, "password_file", "needs mqtt.username");
        c.password_file = secret_file_from_json(m["password_file"], source, "mqtt.password_file",
                                                credentials_directory_from_environment());
        c.password = read_secret_line(*c.password_file, source);
    }
    c.keepalive_s = integer(m, "keepalive_s", 5, 65535, source).value_or(c.keepalive_s);
    c.qos = integer(m, "qos", 0, 2, source).value_or(c.qos);
    c.reconnect_min_ms = integer(m, "reconnect_min_ms", 10, 3'600'000, source).value_or(c.reconnect_min_ms);
    c.reconnect_max_ms = integer(m, "reconnect_max_ms", 10, 3'600'000, source).value_or(c.reconnect_max_ms);
    if (c.reconnect_max_ms < c.reconnect_min_ms)
        fail(source, "reconnect_max_ms", fmt::format("must not be below reconnect_min_ms ({})", c.reconnect_min_ms));
    if (m.isMember("deadband")) {
        if (!m["deadband"].isNumeric() || m["deadband"].asDouble() < 0)
            fail(source, "deadband", "must be a number of 0 or more");
        c.deadband = m["deadband"].asDouble();
    }
    c.homeassistant = flag(m, "homeassistant", c.homeassistant, source);
    return c;
}
