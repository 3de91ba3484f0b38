#pragma once
// One power system of the site file, as voka-host uses it; its keys are
// described in site_keys() (site_config.h), which reads it.
#include <cstdint>
#include <optional>
#include <string>

#include <json/value.h>

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
