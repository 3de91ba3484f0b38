#include "simulator/paced_output.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

PacedOutput::PacedOutput(int baud_rate, bool paced)
    : byte_time_(paced ? std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                             10'000'000'000LL / std::max(baud_rate, 1)))
                       : Clock::duration::zero()) {
    if (baud_rate <= 0) throw std::invalid_argument("baud rate must be positive");
}

void PacedOutput::push(std::span<const uint8_t> bytes, Clock::time_point ready) {
    Clock::time_point due = std::max(ready, last_due_);
    for (uint8_t b : bytes) {
        due += byte_time_;
        queue_.push_back({due, b});
    }
    last_due_ = due;
}

size_t PacedOutput::take(std::span<uint8_t> out, Clock::time_point now) {
    size_t n = 0;
    while (n < out.size() && !queue_.empty() && queue_.front().due <= now) {
        out[n++] = queue_.front().byte;
        queue_.pop_front();
    }
    return n;
}

std::optional<PacedOutput::Clock::time_point> PacedOutput::next_due() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

void PacedOutput::clear() {
    queue_.clear();
    last_due_ = {};
}

}  // namespace sim
