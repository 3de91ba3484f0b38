#include "simulator/simulated_line.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace sim {

using Clock = PacedOutput::Clock;

SimulatedLine::SimulatedLine(Scenario scenario, bool pace)
    : system_(std::move(scenario)), output_(system_.scenario().equipment.baud_rate, pace) {}

std::error_code SimulatedLine::write_all(std::span<const uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        const auto arrived = Clock::now() + output_.byte_time() * static_cast<long>(bytes.size());
        for (const Answer& a : system_.feed(bytes))
            output_.push(a.bytes, arrived + std::chrono::milliseconds(a.delay_ms));
    }
    queued_.notify_all();
    return {};
}

LineRead SimulatedLine::read_some(std::span<uint8_t> out, int timeout_ms) { return read_expected(out, 1, timeout_ms); }

LineRead SimulatedLine::read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) {
    if (out.empty()) return {};
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    const size_t wanted = std::clamp(expected, size_t{1}, out.size());
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto now = Clock::now();
        const auto due = output_.due_of_first(wanted);
        if ((due && *due <= now) || now >= deadline) return {output_.take(out, now), {}};
        queued_.wait_until(lock, due ? std::min(*due, deadline) : deadline);
    }
}

unsigned SimulatedLine::round() const {
    std::lock_guard lock(mutex_);
    return system_.round();
}

Site SimulatedLine::site() const {
    std::lock_guard lock(mutex_);
    return system_.site();
}

PowerSystemCounters SimulatedLine::counters() const {
    std::lock_guard lock(mutex_);
    return system_.counters();
}

}  // namespace sim
