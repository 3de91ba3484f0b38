#pragma once
// A serial line with a simulated power system at its far end, inside the
// host's process: what the host writes is the power system's input, and the
// host reads its answers when a real line would deliver them. The host's
// default line when no port is configured; tests use it too.
//
// Timing, when paced: a command of N bytes has arrived N byte times after
// write_all(); the answer starts after the scenario's answer delay (plus any
// delay fault) and comes at the scenario's baud rate, 10 bits a byte.
//
// Thread-safe: one thread may read while another writes or inspects.
#include <condition_variable>
#include <mutex>

#include "host/line/serial_line.h"
#include "simulator/paced_output.h"
#include "simulator/simulated_power_system.h"

namespace sim {

class SimulatedLine final : public ByteLine {
public:
    // `pace` false delivers each answer as soon as its delay has passed
    // (for tests that need no line timing).
    explicit SimulatedLine(Scenario scenario, bool pace = true);

    // Never fails: the power system takes every byte.
    std::error_code write_all(std::span<const uint8_t> bytes) override;
    // Returns the answer bytes due, waiting up to `timeout_ms` for the first.
    LineRead read_some(std::span<uint8_t> out, int timeout_ms) override;
    // Waits until the first `expected` bytes are due (or the time-out), then
    // returns what is due.
    LineRead read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) override;

    // Copies of the power system's state, for tests and the host's display.
    unsigned round() const;
    Site site() const;
    PowerSystemCounters counters() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    SimulatedPowerSystem system_;
    PacedOutput output_;
};

}  // namespace sim
