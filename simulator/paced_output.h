#pragma once
// Answer bytes on their way out of a simulated serial line. At 8N1 a byte
// takes 10 bit times, so at `baud_rate` a byte is on the far side no sooner
// than 10 / baud_rate seconds after the one before it. Answers follow one
// another: the next starts when it is ready and the previous one has gone.
//
// Time is passed in, never read here, so callers (and tests) choose the clock.
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace sim {

class PacedOutput {
public:
    using Clock = std::chrono::steady_clock;

    // `baud_rate` > 0. Unpaced, every byte is due as soon as its answer is ready.
    PacedOutput(int baud_rate, bool paced);

    // The time one byte takes on the line; zero when unpaced.
    Clock::duration byte_time() const { return byte_time_; }

    // Queues `bytes`: the first is due one byte time after `ready` (or after
    // the last byte queued, if that is later), each next one a byte time later.
    void push(std::span<const uint8_t> bytes, Clock::time_point ready);
    // Moves the bytes due by `now` into `out`, in order, as many as fit; the count.
    size_t take(std::span<uint8_t> out, Clock::time_point now);
    // When the next byte is due; nothing when none is queued.
    std::optional<Clock::time_point> next_due() const;
    bool empty() const { return queue_.empty(); }
    // Drops every queued byte (the far end went away).
    void clear();

private:
    struct Timed {
        Clock::time_point due;
        uint8_t byte;
    };
    Clock::duration byte_time_;
    std::deque<Timed> queue_;
    Clock::time_point last_due_{};
};

}  // namespace sim
