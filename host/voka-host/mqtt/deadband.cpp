#include "host/voka-host/mqtt/deadband.h"

#include <cmath>

bool Deadband::passes(uint32_t data_id, const std::vector<Reading>& readings) {
    auto [it, first] = sent_.try_emplace(data_id);
    std::vector<Sent>& sent = it->second;
    bool moved = first || band_ <= 0 || sent.size() != readings.size();
    for (size_t i = 0; !moved && i < readings.size(); ++i)
        moved = readings[i].missing != sent[i].missing ||
                std::fabs(static_cast<double>(readings[i].value) - static_cast<double>(sent[i].value)) > band_;
    if (!moved) return false;
    sent.clear();
    for (const Reading& r : readings) sent.push_back({r.value, r.missing});
    return true;
}
