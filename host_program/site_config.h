#pragma once
// The site configuration file of voka-host: one or more power systems, each
// with its line settings and the configuration its master device reads.
//
//   {
//     "name": "North exchange",                         optional, the site's name on the live page;
//                                                       default the file's name without folder and
//                                                       extension; read at start (a reload keeps it)
//     "plugin": "/usr/lib/voka/plugins/voka.so",        optional
//     "history": {...},                                 optional, history/history_config.h
//     "http": {"listen": "127.0.0.1:9108", ...},        optional, http/http_config.h
//     "mqtt": {...},                                    optional, mqtt/mqtt_config.h
//     "power_systems": [
//       { "name": "main-hall",                          optional, default "ps<N>"
//         "device_type": "voka",                        optional, the master's type
//         "data_id": 1,                                 the master's (and rectifier's) data id
//         "port": "/dev/ttyS1",                         absent: the embedded simulator
//         "scenario": "site.json",                      the embedded simulator's scenario
//         "baud_rate": 9600, "address": 1, "protocol_ver": 32, "answer_timeout_ms": 1000,
//         "poll_interval_ms": 5000,                     time from one round's start to the next
//         "retries": 2,                                 attempts after a command's first fails
//         "reconnect_min_ms": 1000, "reconnect_max_ms": 30000,  reopening a failed port: back-off
//         "stale_after_rounds": 3,                      failed rounds before the data are stale
//         "rectifier_modules": 3,                       for the answer time-out check only
//         "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {} } ] }
//
// The whole power-system element is handed to the master's InitSetting.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "host_program/history/history_config.h"
#include "host_program/http/http_config.h"
#include "host_program/mqtt/mqtt_config.h"

struct PowerSystemConfig {
    std::string name;
    std::string device_type = "voka";
    uint32_t data_id = 0;
    std::optional<std::string> port;      // nothing: the embedded simulator
    std::optional<std::string> scenario;  // for the embedded simulator
    int poll_interval_ms = 5000;
    unsigned retries = 2;
    int reconnect_min_ms = 1000;  // the first wait before reopening; doubles up to the max
    int reconnect_max_ms = 30000;
    unsigned stale_after_rounds = 3;
    unsigned rectifier_modules = 3;
    Json::Value element;                  // handed whole to the master
};

struct SiteConfig {
    std::string path;                     // where it was read from ("" for the bundled example)
    std::string name;                     // what the live page calls the site
    std::optional<std::string> plugin;
    HistoryConfig history;
    HttpConfig http;
    std::optional<MqttConfig> mqtt;       // nothing: no publishing
    std::vector<PowerSystemConfig> power_systems;
};

// A configuration that cannot be used: names the file, the place and the problem.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether a device of the site carries this data id: a master (its rectifier
// device shares its id) or an element of "acSetting" or "dcSetting".
bool site_has_device(const SiteConfig& site, uint32_t data_id);

// Reads and checks a site configuration file. Throws ConfigError.
SiteConfig read_site_config(const std::string& path);
// Checks a parsed configuration; `source` names it in messages. Data ids are
// unique across the site (the rectifier carries its master's). Throws ConfigError.
SiteConfig site_config_from_json(const Json::Value& root, const std::string& source);
