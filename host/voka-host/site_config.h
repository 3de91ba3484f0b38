#pragma once
// The site configuration file of voka-host: one or more power systems, each
// with its line settings and the configuration its master device reads. Every
// key is described once, in site_keys() (`voka-host config keys` prints them):
// the site's own here, "history", "http" and "mqtt" beside their readers.
//
// The whole power-system element is handed to the master's InitSetting.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/voka-host/config/config_error.h"
#include "host/voka-host/config/power_system_config.h"
#include "host/voka-host/config/schema.h"
#include "host/voka-host/history/history_config.h"
#include "host/voka-host/http/http_config.h"
#include "host/voka-host/mqtt/mqtt_config.h"

struct SiteConfig {
    std::string path;                     // where it was read from ("" for the bundled example)
    std::string name;                     // what the live page calls the site
    std::optional<std::string> plugin;
    HistoryConfig history;
    HttpConfig http;
    std::optional<MqttConfig> mqtt;       // nothing: no publishing
    std::vector<PowerSystemConfig> power_systems;
    Json::Value json;                     // the file as read: what a reload compares key by key
};

// Every key of the site file, from the top.
const schema::Section& site_keys();

// Whether a power system of the site owns this device (device_owner): a
// master (its rectifier device shares its id) or an AC or DC device.
bool site_has_device(const SiteConfig& site, uint32_t data_id);

// Reads and checks a site configuration file. Throws ConfigError naming
// every problem found, one a line.
SiteConfig read_site_config(const std::string& path);
// The same for the file's text; `source` names it in messages and gives the
// folder of relative file names.
SiteConfig site_config_from_text(const std::string& text, const std::string& source);
// Checks a parsed configuration; `source` names it in messages. Data ids are
// unique across the site (the rectifier carries its master's). Throws ConfigError
// naming every problem found, one a line.
SiteConfig site_config_from_json(const Json::Value& root, const std::string& source);
