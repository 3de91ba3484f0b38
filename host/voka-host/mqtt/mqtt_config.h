#pragma once
// The "mqtt" object of a site configuration: where voka-host publishes and
// how, checked strictly against its keys (mqtt_keys()), and the files it
// names readable now rather than at the first connection.
//
// Relative file names are taken from the site file's folder. Secrets (the
// password and the client key) may come as credentials: see secret_file.h.
#include <optional>
#include <string>

#include <json/value.h>

#include "host/voka-host/config/schema.h"
#include "host/voka-host/config/secret_file.h"

struct MqttTls {
    std::string ca_file;
    std::optional<std::string> cert_file;
    std::optional<SecretFile> key_file;
    bool insecure = false;
    friend bool operator==(const MqttTls&, const MqttTls&) = default;
};

struct MqttConfig {
    std::string host;
    int port = 1883;
    std::string client_id;
    std::string topic_prefix = "voka";
    std::string site;
    std::optional<std::string> username;
    std::optional<SecretFile> password_file;
    std::optional<std::string> password;  // read from password_file
    std::optional<MqttTls> tls;
    int keepalive_s = 30;
    int reconnect_min_ms = 500;
    int reconnect_max_ms = 30000;
    int qos = 0;
    double deadband = 0;
    bool homeassistant = true;
    friend bool operator==(const MqttConfig&, const MqttConfig&) = default;
};

// The keys of "mqtt".
const schema::Section& mqtt_keys();

// `mqtt` is the object (or null when absent: no publishing); `source` names
// the site file in messages and gives the folder of relative file names.
// Throws ConfigError naming the key.
std::optional<MqttConfig> mqtt_config_from_json(const Json::Value& mqtt, const std::string& source);

// Whether a name can be one level of a topic: not empty, no '/', '+', '#' or NUL.
bool is_topic_level(const std::string& name);
