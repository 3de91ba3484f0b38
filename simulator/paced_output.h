#pragma once
// Answer bytes on their way out of a simulated serial line. At 8N1 a byte
// takes 10 bit times, so at `baud_rate` a byte is on the far side no sooner
// than 10 / baud_rate seconds after the one before it. Answers follow one
// another: the next starts when it is ready and the previous one has gone.
//
// Bytes are handed over as a UART's receive FIFO hands them to its driver: in
// chunks of `chunk_bytes`, each due when its last byte has crossed the line
// (an answer's last chunk may be shorter). A reader then wakes once a chunk,
// not once a byte, as it would on a real port.
//
// Time is passed in, never read here, so callers (and tests) choose the clock.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace sim {

class PacedOutput {
public:
    using Clock = std::chrono::steady_clock;

    // The receive FIFO of a common UART.
    static constexpr size_t kFifoBytes = 16;

    // `baud_rate` > 0, `chunk_bytes` > 0 (1: byte by byte). Unpaced, every
    // byte is due as soon as its answer is ready.
    PacedOutput(int baud_rate, bool paced, size_t chunk_bytes = kFifoBytes);

    // The time one byte takes on the line; zero when unpaced.
    Clock::duration byte_time() const { return byte_time_; }

    // Queues `bytes`: they start crossing the line at `ready` (or once the
    // last byte queued has gone, if that is later), one byte time each, and
    // each chunk is due when its last byte has crossed.
    void push(std::span<const uint8_t> bytes, Clock::time_point ready);
    // Moves the bytes due by `now` into `out`, in order, as many as fit; the count.
    size_t take(std::span<uint8_t> out, Clock::time_point now);
    // When the next byte is due; nothing when none is queued.
    std::optional<Clock::time_point> next_due() const;
    // When the first `count` queued bytes are all due (all queued, when fewer
    // are); nothing when none is queued.
    std::optional<Clock::time_point> due_of_first(size_t count) const;
    bool empty() const { return queue_.empty(); }
    // Drops every queued byte (the far end went away).
    void clear();

private:
    struct Timed {
        Clock::time_point due;
        uint8_t byte;
    };
    Clock::duration byte_time_;
    size_t chunk_bytes_;
    std::deque<Timed> queue_;
    Clock::time_point last_due_{};
};

}  // namespace sim
