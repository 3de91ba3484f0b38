#include "host/voka-host/mqtt/mqtt_config.h"

#include <filesystem>
#include <fstream>
#include <limits>

#include <fmt/format.h>

#include "host/voka-host/mqtt/tls_files.h"

namespace {

using schema::Key;
using schema::Reload;
using schema::Type;

// A problem of the key at `key` below "mqtt".
[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    schema::refuse(source, "mqtt." + key, problem);
}

constexpr Key kTlsKeys[] = {
    {.name = "ca_file", .type = Type::string, .help = "the CA certificate the broker's is checked against",
     .reload = Reload::next_start, .required = true,
     .missing = "the CA certificate the broker's is checked against"},
    {.name = "cert_file", .type = Type::string, .help = "a client certificate: with key_file", .reload = Reload::next_start},
    {.name = "key_file", .type = Type::secret, .help = "its key, or a credential holding it", .reload = Reload::next_start},
    {.name = "insecure", .type = Type::boolean, .help = "true: the broker's name is not checked against its certificate",
     .reload = Reload::next_start, .default_text = "false"},
};
const schema::Section kTls{"\"mqtt.tls\"", kTlsKeys};

constexpr Key kKeys[] = {
    {.name = "host", .type = Type::string, .help = "the broker's host name or address", .reload = Reload::next_start,
     .required = true, .missing = "the broker's host name or address"},
    {.name = "port", .type = Type::integer, .help = "the broker's port", .reload = Reload::next_start,
     .default_text = "1883, 8883 with tls", .lo = 1, .hi = 65535},
    {.name = "client_id", .type = Type::string, .help = "\"-<system>\" is appended per power system",
     .reload = Reload::next_start, .default_text = "voka-<site>"},
    {.name = "topic_prefix", .type = Type::string, .help = "the topics' first levels", .reload = Reload::next_start,
     .default_text = "voka", .rule = "a non-empty string without '+' or '#', nor '/' at either end"},
    {.name = "site", .type = Type::string, .help = "the topics' site level", .reload = Reload::next_start,
     .default_text = "the site file's name"},
    {.name = "username", .type = Type::string, .help = "the user name given to the broker", .reload = Reload::next_start},
    {.name = "password_file", .type = Type::secret, .help = "its first line is the password; needs username",
     .reload = Reload::next_start},
    {.name = "tls", .type = Type::object, .help = "TLS to the broker", .reload = Reload::next_start, .inner = &kTls},
    {.name = "keepalive_s", .type = Type::integer, .help = "the keep-alive interval", .reload = Reload::next_start,
     .default_text = "30", .lo = 5, .hi = 65535},
    {.name = "qos", .type = Type::integer, .help = "of state messages; alarm events, alarms and status use at least 1",
     .reload = Reload::next_start, .default_text = "0", .lo = 0, .hi = 2},
    {.name = "deadband", .type = Type::number, .help = "a state is sent when a value moved by more; 0: every round",
     .reload = Reload::next_start, .default_text = "0", .lo = 0, .hi = std::numeric_limits<double>::infinity()},
    {.name = "homeassistant", .type = Type::boolean, .help = "discovery messages under \"homeassistant/\"",
     .reload = Reload::next_start, .default_text = "true"},
    {.name = "reconnect_min_ms", .type = Type::integer, .help = "the first wait before connecting again; doubles",
     .reload = Reload::next_start, .default_text = "500", .lo = 10, .hi = 3'600'000},
    {.name = "reconnect_max_ms", .type = Type::integer, .help = "the longest wait before connecting again",
     .reload = Reload::next_start, .default_text = "30000", .lo = 10, .hi = 3'600'000},
};

// A file name as written, taken from the site file's folder when relative.
std::string beside(const std::string& source, const std::string& file) {
    const std::filesystem::path p(file);
    if (p.is_absolute()) return file;
    return (std::filesystem::path(source).parent_path() / p).string();
}

std::string readable_file(const Json::Value& obj, const char* key, const std::string& source,
                          const std::string& place = "") {
    const std::string path = beside(source, obj[key].asString());
    if (!std::ifstream(path, std::ios::binary) || std::filesystem::is_directory(path))
        fail(source, place + key, fmt::format("{} cannot be read", path));
    return path;
}

MqttTls tls_from_json(const Json::Value& t, const std::string& source) {
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
    tls.insecure = t.get("insecure", false).asBool();
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

const schema::Section& mqtt_keys() {
    static const schema::Section section{"\"mqtt\"", kKeys};
    return section;
}

std::optional<MqttConfig> mqtt_config_from_json(const Json::Value& m, const std::string& source) {
    if (m.isNull()) return std::nullopt;
    schema::Problems problems(source);
    schema::check(m, mqtt_keys(), "mqtt", problems);
    problems.throw_if_any();
    MqttConfig c;
    c.host = m["host"].asString();
    if (m.isMember("tls")) {
        c.tls = tls_from_json(m["tls"], source);
        c.port = 8883;
    }
    c.port = m.get("port", c.port).asInt();
    c.site = m.isMember("site") ? m["site"].asString() : default_site(source);
    if (!is_topic_level(c.site)) fail(source, "site", "must not hold '/', '+' or '#' (it is one topic level)");
    c.topic_prefix = m.get("topic_prefix", c.topic_prefix).asString();
    if (c.topic_prefix.find_first_of("+#") != std::string::npos || c.topic_prefix.front() == '/' ||
        c.topic_prefix.back() == '/')
        fail(source, "topic_prefix", "must not hold '+' or '#', nor begin or end with '/'");
    c.client_id = m.isMember("client_id") ? m["client_id"].asString() : "voka-" + c.site;
    if (m.isMember("username")) c.username = m["username"].asString();
    if (m.isMember("password_file")) {
        if (!c.username) fail(source, "password_file", "needs mqtt.username");
        c.password_file = secret_file_from_json(m["password_file"], source, "mqtt.password_file",
                                                credentials_directory_from_environment());
        c.password = read_secret_line(*c.password_file, source);
    }
    c.keepalive_s = m.get("keepalive_s", c.keepalive_s).asInt();
    c.qos = m.get("qos", c.qos).asInt();
    c.reconnect_min_ms = m.get("reconnect_min_ms", c.reconnect_min_ms).asInt();
    c.reconnect_max_ms = m.get("reconnect_max_ms", c.reconnect_max_ms).asInt();
    if (c.reconnect_max_ms < c.reconnect_min_ms)
        fail(source, "reconnect_max_ms", fmt::format("must not be below reconnect_min_ms ({})", c.reconnect_min_ms));
    c.deadband = m.get("deadband", c.deadband).asDouble();
    c.homeassistant = m.get("homeassistant", c.homeassistant).asBool();
    return c;
}
