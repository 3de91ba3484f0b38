#pragma once
// Where the images devices ask to store go; the history database implements it.
#include <cstdint>
#include <span>
#include <string>

class HistorySink {
public:
    virtual ~HistorySink() = default;
    virtual void save(uint32_t data_id, int record_type, const std::string& device_type,
                      std::span<const uint8_t> image) = 0;
};
