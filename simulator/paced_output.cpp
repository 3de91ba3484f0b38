#include "simulator/paced_output.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/commands.h"

namespace sim {

PacedOutput::PacedOutput(int baud_rate, bool paced, size_t chunk_bytes)
    : byte_time_(paced ? std::chrono::duration_cast<Clock::duration>(protocol::byte_time(baud_rate))
                       : Clock::duration::zero()),
      chunk_bytes_(chunk_bytes) {
    if (baud_rate <= 0) throw std::invalid_argument("baud rate must be positive");
    if (chunk_bytes == 0) throw std::invalid_argument("chunk size must be positive");
}

void PacedOutput::push(std::span<const uint8_t> bytes, Clock::time_point ready) {
    const Clock::time_point start = std::max(ready, last_due_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t chunk_end = std::min((i / chunk_bytes_ + 1) * chunk_bytes_, bytes.size());
        queue_.push_back({start + byte_time_ * static_cast<long>(chunk_end), bytes[i]});
    }
    if (!bytes.empty()) last_due_ = queue_.back().due;
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

std::optional<PacedOutput::Clock::time_point> PacedOutput::due_of_first(size_t count) const {
    if (queue_.empty()) return std::nullopt;
    return queue_[std::min(std::max(count, size_t{1}), queue_.size()) - 1].due;
}

void PacedOutput::clear() {
    queue_.clear();
    last_due_ = {};
}

}  // namespace sim
