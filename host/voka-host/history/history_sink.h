#pragma once
// Where the images devices ask to store go; the history database implements it.
#include <cstdint>
#include <functional>
#include <span>
#include <string>

class HistorySink {
public:
    virtual ~HistorySink() = default;
    virtual void save(uint32_t data_id, int record_type, const std::string& device_type,
                      std::span<const uint8_t> image) = 0;
    // Runs `work` (one round's saves and alarm changes) as one unit of writing.
    virtual void in_one_transaction(const std::function<void()>& work) { work(); }
};
