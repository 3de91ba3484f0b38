#pragma once
// The "mqtt" object of a site configuration: where voka-host publishes and
// how, checked strictly: every key known, of its type and in its range, and
// the files it names readable now rather than at the first connection.
//
//   "mqtt": {"host": "broker.example",            required
//            "port": 1883,                        default 1883, 8883 with "tls"
//            "client_id": "voka-north",           default "voka-<site>"; "-<system>" is appended per power system
//            "topic_prefix": "voka",              default "voka"
//            "site": "north",                     the topic's site level; default the site file's name
//            "username": "voka",                  optional
//            "password_file": "/etc/voka/mqtt.pw",  its first line; needs "username"; or {"credential": "NAME"}
//            "tls": {"ca_file": "ca.crt",         required within "tls"
//                    "cert_file": "c.crt", "key_file": "c.key",  a client certificate: both or neither;
//                                                 the key may be {"credential": "NAME"} too
//                    "insecure": false},          true: the server's name is not checked against its certificate
//            "keepalive_s": 30,                   5 to 65535
//            "reconnect_min_ms": 500, "reconnect_max_ms": 30000,  the wait before connecting again: doubles up to the max
//            "qos": 0,                            of state messages; alarm events, alarms and status use at least 1
//            "deadband": 0,                       a state is sent when a value moved by more than this; 0: every round
//            "homeassistant": true}               discovery messages under "homeassistant/"
//
// Relative file names are taken from the site file's folder. Secrets (the
// password and the client key) may come as credentials: see secret_file.h.
#include <optional>
#include <string>

#include <json/value.h>

#include "host_program/secret_file.h"

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

// `mqtt` is the object (or null when absent: no publishing); `source` names
// the site file in messages and gives the folder of relative file names.
// Throws ConfigError naming the key.
std::optional<MqttConfig> mqtt_config_from_json(const Json::Value& mqtt, const std::string& source);

// Whether a name can be one level of a topic: not empty, no '/', '+', '#' or NUL.
bool is_topic_level(const std::string& name);
