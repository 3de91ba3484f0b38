#pragma once
// Asks whoever is on a serial line, one command at a time at one baud rate,
// and tells a power system that answers from silence and from noise. Built on
// the frame codec and a ByteLine only: no master device, no plug-in.
//
// Single-threaded. A line failure (the port went away) throws
// std::system_error naming the line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/line/frame_codec.h"
#include "host/line/serial_line.h"

namespace probe {

// How long one try waits at a baud rate (10 bits a byte on the wire).
struct TryTiming {
    int first_byte_ms = 0;  // from the write to the answer's first byte: the command's own time, then `start_ms`
    int gap_ms = 0;         // the longest silence inside an answer
    int longest_ms = 0;     // the whole answer, however it trickles: a frame of the largest size
};
// `start_ms`: how long the equipment may take to start its answer.
TryTiming try_timing(int baud_rate, size_t command_bytes, int start_ms);

inline constexpr int kDefaultAnswerStartMs = 200;

struct Reply {
    enum class Kind : uint8_t {
        data,     // a frame from the address with RTN 0x00; `info` holds its INFO bytes
        refused,  // a frame from the address with another RTN
        silent,   // nothing came back
        garbled,  // bytes came back, but no frame from the address (another baud rate, noise, damage)
    };
    Kind kind = Kind::silent;
    uint8_t rtn = 0;
    std::vector<uint8_t> info;
    std::string why;  // for refused and garbled: what was wrong, in words
};

// What a power system at one address and baud rate says of itself. The counts
// are those the "voka" command set reports; nothing where the command was not
// answered with a well-formed answer.
struct Finding {
    int baud_rate = 0;
    uint8_t address = 0;
    std::optional<unsigned> modules;   // rectifier modules (the rectifier analog answer)
    std::optional<unsigned> ac_units;  // the AC analog answer's unit-count byte (the first unit's channels)
    std::optional<unsigned> dc_units;  // the DC analog answer's unit-count byte
    std::optional<std::string> model;  // the model text, where the equipment answers the model command
    std::vector<std::string> notes;    // each command that got no usable answer, and why
};

class LineProbe {
public:
    // `line` must outlive the probe and be set to `baud_rate`.
    LineProbe(ByteLine& line, int baud_rate, int answer_start_ms = kDefaultAnswerStartMs);

    // Drops what the line holds, sends one command to `address` and waits
    // for its answer (see TryTiming).
    Reply ask(uint8_t address, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info = {});

    // Asks for the rectifier analog values first (every power system has its
    // rectifiers): nothing when that gets no frame from `address`. Otherwise
    // asks for the AC and DC analog values and the model text.
    std::optional<Finding> identify(uint8_t address);

    // Whether any try at this rate heard bytes that made no frame: something
    // may be on the line at another rate.
    bool heard_garble() const { return heard_garble_; }

private:
    ByteLine& line_;
    int baud_rate_;
    int answer_start_ms_;
    frame::Decoder decoder_;
    std::array<uint8_t, 256> chunk_{};
    bool heard_garble_ = false;
};

}  // namespace probe
