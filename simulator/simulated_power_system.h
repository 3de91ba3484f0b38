#pragma once
// The far end of the power-system line: takes command bytes as they arrive,
// answers each valid command addressed to it, follows its scenario's
// schedule round by round and misbehaves where the scenario says so.
//
// Rounds: a round starts with each AC analog command, and with a rectifier
// analog command that no AC analog command came before since the last
// rectifier analog command (a site polled without AC units); but a command
// that repeats the previous one after its answer was lost, damaged or
// delayed on the line is a retry within the same round, up to the
// equipment's `host_retries` repeats in a row. The changes and
// faults of a round apply from the command that starts it.
//
// No threads and no clock: callers feed bytes and send the answers when due.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "host/line/frame_codec.h"
#include "simulator/scenario.h"

namespace sim {

struct Answer {
    std::vector<uint8_t> bytes;  // as they go on the line, faults included
    int delay_ms = 0;            // from the command's last byte to the answer's first
    unsigned round = 0;          // the round of the command it answers
};

struct PowerSystemCounters {
    unsigned commands = 0;          // valid commands addressed to this equipment
    unsigned unknown_commands = 0;  // of those, answered with kRtnUnknownCommand
    unsigned unanswered = 0;        // of those, left unanswered (no_answer fault, or too long to frame)
    unsigned faults = 0;            // faults applied; one answer may carry several
    unsigned other_address = 0;     // valid commands for another address, ignored
    unsigned bad_frames = 0;        // command frames the decoder rejected, ignored
};

class SimulatedPowerSystem {
public:
    // The RTN of the answer to a command the equipment does not know.
    static constexpr uint8_t kRtnUnknownCommand = 0x04;

    explicit SimulatedPowerSystem(Scenario scenario);

    // Takes bytes from the line, in chunks of any size; returns the answers
    // to the commands they complete, in order. Answers carry the command's
    // VER, this equipment's ADR, the command's CID1 and RTN 0 with the
    // site's INFO, or kRtnUnknownCommand and no INFO.
    std::vector<Answer> feed(std::span<const uint8_t> bytes);
    // Drops a command half received (the line hung up).
    void reset_input() { decoder_.reset(); }

    unsigned round() const { return round_; }
    // The last round whose final command (DC parameters) has come; 0: none.
    unsigned finished_round() const { return finished_round_; }
    // The site as in the current round.
    const Site& site() const { return site_; }
    const Scenario& scenario() const { return scenario_; }
    const PowerSystemCounters& counters() const { return counters_; }

    // Receives one line of text at each round start and each fault applied.
    void set_event_sink(std::function<void(std::string_view)> sink) { events_ = std::move(sink); }

private:
    std::optional<Answer> answer(std::span<const uint8_t> command);
    void note_round(uint8_t cid1, uint8_t cid2);
    void event(std::string_view text) const;

    Scenario scenario_;
    Site site_;
    frame::Decoder decoder_{frame::Decoder::Direction::commands};
    unsigned round_ = 0;
    unsigned finished_round_ = 0;
    bool ac_analog_since_rc_ = false;
    std::vector<unsigned> fault_hits_;  // answers each fault hit in this round
    // The last command and whether its answer was lost, damaged or late on
    // the line: the same command again is then the host's retry, not a new round.
    uint16_t last_command_ = 0;
    bool last_answer_spoilt_ = false;
    unsigned repeats_ = 0;  // retries of the last command so far
    PowerSystemCounters counters_;
    std::function<void(std::string_view)> events_;
};

}  // namespace sim
