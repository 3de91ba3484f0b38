#pragma once
// One power system of the site file, as voka-host uses it; its keys are
// described in site_keys() (site_config.h), which reads it and fills every
// field here, the child devices' data ids included, so that no consumer walks
// the raw element again.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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
    std::vector<uint32_t> ac_data_ids;  // each "acSetting" element's, in its order
    std::vector<uint32_t> dc_data_ids;  // each "dcSetting" element's, in its order
    Json::Value element;                // handed whole to the master

    // Every data id of the system, the master's first (its rectifier device carries it too).
    std::vector<uint32_t> device_ids() const;
    bool has_device(uint32_t data_id) const;
};

// The one rule for which power system a device belongs to: the one whose
// master or child it is. nullopt when no system has it (a device the site no
// longer has): its records and alarms belong to nobody and are not shown.
// The site file refuses a data id given twice, so at most one system has it.
std::optional<size_t> device_owner(std::span<const PowerSystemConfig> systems, uint32_t data_id);
