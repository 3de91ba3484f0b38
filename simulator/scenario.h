#pragma once
// A scenario for the simulated power system: the equipment's line settings,
// the site it starts with, timed changes to that site and faults on the wire,
// all by round number. Read from JSON; simulator/SCENARIOS.md gives the format.
//
// Rounds: round 0 is before the first round (the general command set's model
// query); each command that starts a polling round begins the next one (see
// SimulatedPowerSystem).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "simulator/answers.h"
#include "simulator/site_model.h"

namespace sim {

// Rounds from `from` to `until`, both included; no `until`: to the end.
struct RoundRange {
    unsigned from = 0;
    std::optional<unsigned> until;
    bool holds(unsigned round) const { return round >= from && (!until || round <= *until); }
};

enum class FaultKind : uint8_t {
    bad_checksum,      // CHKSUM does not match the characters
    no_answer,         // the command goes unanswered
    wrong_unit_count,  // the unit-count byte differs from the units that follow
    noise,             // garbage bytes before the SOI
    truncated,         // the frame ends before it holds all its fields
    error_rtn,         // a non-zero RTN and no INFO
    delay,             // the answer leaves late
};
std::string_view to_string(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::no_answer;
    RoundRange rounds;
    std::optional<uint8_t> cid1;  // only commands of this group
    std::optional<uint8_t> cid2;  // only this command
    uint8_t rtn = 0x05;                 // error_rtn: the RTN sent
    std::optional<uint8_t> unit_count;  // wrong_unit_count: the count sent; none: one more than the real one
    size_t noise_bytes = 8;             // noise: how many garbage bytes
    int delay_ms = 0;                   // delay: added to the answer delay
    std::optional<unsigned> answers;    // how many matching answers of each round it hits; none: all

    bool applies(unsigned round, uint8_t command_cid1, uint8_t command_cid2) const {
        return rounds.holds(round) && (!cid1 || *cid1 == command_cid1) && (!cid2 || *cid2 == command_cid2);
    }
};

struct Change {
    RoundRange rounds;
    Json::Value set;    // object: path -> value, as in the file
    std::string place;  // where "set" is in the file, for messages ("changes[2].set")
};

struct Equipment {
    uint8_t address = 1;
    CommandSet command_set = CommandSet::voka;
    int baud_rate = 9600;     // for line pacing and a real port
    int answer_delay_ms = 0;  // from the command's last byte to the answer's first
    unsigned host_retries = 2;  // repeats of a command after a spoilt answer that stay in its round
};

struct Scenario {
    std::string file;  // where it was read from, for messages
    Equipment equipment;
    Site site;  // as it starts
    std::vector<Change> changes;
    std::vector<Fault> faults;

    // The site in `round`: the starting site with every change whose range
    // holds `round` applied, in file order. A scenario from parse_scenario()
    // gives a valid site for every round.
    Site site_at(unsigned round) const;
};

// A scenario file that cannot be used. what() is "FILE: PLACE: PROBLEM";
// PLACE is a JSON path ("site.modules[1].fault"), or "line L, column C" for
// a text that is not JSON.
class ScenarioError : public std::runtime_error {
public:
    ScenarioError(std::string file, std::string place, std::string problem);
    const std::string& file() const { return file_; }
    const std::string& place() const { return place_; }
    const std::string& problem() const { return problem_; }

private:
    std::string file_, place_, problem_;
};

// Reads a scenario from JSON text; `file` names it in messages. Checks every
// value, every change and the site of every round (with validate_site and the
// frame size limit); throws ScenarioError at the first problem.
Scenario parse_scenario(std::string_view json_text, const std::string& file);
// Reads the scenario file at `path`; an unreadable file is a ScenarioError too.
Scenario load_scenario(const std::string& path);

}  // namespace sim
