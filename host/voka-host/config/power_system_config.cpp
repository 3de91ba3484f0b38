#include "host/voka-host/config/power_system_config.h"

#include <algorithm>

std::vector<uint32_t> PowerSystemConfig::device_ids() const {
    std::vector<uint32_t> ids{data_id};
    ids.insert(ids.end(), ac_data_ids.begin(), ac_data_ids.end());
    ids.insert(ids.end(), dc_data_ids.begin(), dc_data_ids.end());
    return ids;
}

bool PowerSystemConfig::has_device(uint32_t id) const {
    return id == data_id || std::ranges::find(ac_data_ids, id) != ac_data_ids.end() ||
           std::ranges::find(dc_data_ids, id) != dc_data_ids.end();
}

std::optional<size_t> device_owner(std::span<const PowerSystemConfig> systems, uint32_t data_id) {
    for (size_t i = 0; i < systems.size(); ++i)
        if (systems[i].has_device(data_id)) return i;
    return std::nullopt;
}
