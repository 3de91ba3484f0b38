#pragma once
// Serves a simulated power system on a serial line: a real port, or the far
// end of a pseudo-terminal whose other end the host opens. Used by voka-sim
// and by tests that run the equipment on a thread.
//
// While the line is hung up (no host has the pseudo-terminal's other end
// open) it waits `hangup_retry` between looks and drops anything half said.
#include <chrono>
#include <cstdint>
#include <system_error>

#include "host/line/serial_line.h"
#include "simulator/simulated_power_system.h"

namespace sim {

struct ServeOptions {
    bool pace = true;  // at the scenario's baud rate
    int stop_fd = -1;  // serving ends once this descriptor is readable (signalfd, eventfd, pipe); -1: none
    unsigned rounds = 0;  // end once round `rounds` is finished; 0: no limit
    // Hear commands only while the line is set to the equipment's baud rate
    // (on a pseudo-terminal: while the host's end is); bytes at another rate
    // are dropped, as equipment would hear them as noise.
    bool match_baud = false;
    std::chrono::milliseconds hangup_retry{100};
    // After the last round's answers have gone: how long to wait for the
    // host's next command before ending (the host may not have read them yet).
    std::chrono::milliseconds linger{500};
};

enum class ServeEnd : uint8_t { stopped, rounds_done, line_failed };

struct ServeResult {
    ServeEnd end = ServeEnd::stopped;
    std::error_code error;  // why the line failed
    unsigned hangup_waits = 0;
    uint64_t bytes_at_other_rates = 0;  // dropped with match_baud
};

// Serves until stop_fd is readable, the rounds are done, or the line fails.
// With a rounds limit, the answers of round `rounds` all go out and nothing
// of a later round does; the limit is reached when the round's final command
// has come, or the next round has begun; serving ends after `linger`.
ServeResult serve(SerialLine& line, SimulatedPowerSystem& system, const ServeOptions& options);

}  // namespace sim
