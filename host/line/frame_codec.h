#pragma once
// Encoding and decoding of the power-system line's frames (layout and sizes:
// protocol/frame_layout.h).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame_layout.h"

namespace frame {

// The LCHKSUM nibble for a 12-bit LENID.
constexpr uint8_t length_checksum(uint16_t lenid) {
    const unsigned sum = ((lenid >> 8) & 0xF) + ((lenid >> 4) & 0xF) + (lenid & 0xF);
    return static_cast<uint8_t>((0u - sum) & 0xF);
}

// The LENGTH field for a 12-bit LENID: LCHKSUM in the top nibble.
constexpr uint16_t length_field(uint16_t lenid) {
    return static_cast<uint16_t>(length_checksum(lenid) << 12 | (lenid & 0xFFF));
}

// CHKSUM over the characters between SOI and CHKSUM.
constexpr uint16_t checksum(std::string_view chars) {
    uint32_t sum = 0;
    for (char c : chars) sum += static_cast<uint8_t>(c);
    return static_cast<uint16_t>(0u - sum);
}
constexpr uint16_t checksum(std::span<const uint8_t> chars) {
    uint32_t sum = 0;
    for (uint8_t c : chars) sum += c;
    return static_cast<uint16_t>(0u - sum);
}

// Why a frame (or a run of bytes) was not taken. One vocabulary for the
// decoder and the line exchange; the host counts and logs each by name.
enum class Error : uint8_t {
    noise,            // bytes between frames, before an SOI; reported once per run
    truncated,        // EOI, or a new SOI, before the frame held all its fields
    too_long,         // more characters before EOI than the decoder holds
    bad_hex_digit,    // a character between SOI and EOI other than 0-9, A-F
    checksum,         // CHKSUM does not match the characters
    length_checksum,  // LCHKSUM does not match LENID
    length_mismatch,  // LENID odd, or not the count of INFO characters present
    equipment_refused,  // a well-formed answer with RTN other than 0x00
    wrong_address,    // (line exchange) a valid answer from another ADR than the command's
    wrong_command,    // (line exchange) a valid answer with another CID1 than the command's
};
inline constexpr size_t kErrorKinds = 10;

std::string_view to_string(Error e);
// The reason as one word for counters and JSON keys: "checksum", "wrong_address", ...
std::string_view key(Error e);

struct Rejection {
    Error reason;
    uint8_t rtn = 0;  // the RTN, for equipment_refused
};
// "checksum wrong", "equipment refused with RTN 0x04", ...
std::string describe(const Rejection& r);

// A command frame, SOI to EOI; nothing when INFO is longer than kMaxInfoBytes.
std::optional<std::vector<uint8_t>> encode_command(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                                                   std::span<const uint8_t> info);
// An answer frame, as the equipment sends it (for simulators and tests).
std::optional<std::vector<uint8_t>> encode_answer(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn,
                                                  std::span<const uint8_t> info);

// Assembles frames from bytes as they arrive, in chunks of any size. Bytes
// before an SOI are skipped; characters beyond the decoder's limit are counted
// and never stored, and the frame is rejected at its end. After any frame,
// good or bad, decoding goes on at the next SOI.
class Decoder {
public:
    enum class Direction : uint8_t {
        answers,   // byte 3 is RTN: anything but 0x00 is equipment_refused
        commands,  // byte 3 is CID2, taken as it is (a simulator's side of the line)
    };
    enum class Step : uint8_t { need_more, frame, rejected };

    // `max_chars`: characters held between SOI and EOI (at least kMinChars).
    // The storage is allocated here, once.
    explicit Decoder(Direction direction = Direction::answers, size_t max_chars = kMaxChars);

    // Takes one byte. On Step::frame, frame() holds the decoded frame; on
    // Step::rejected, rejection() says why.
    Step push(uint8_t byte);
    // The decoded frame (layout above), valid until the next push() or reset().
    std::span<const uint8_t> frame() const { return {decoded_.data(), decoded_size_}; }
    Rejection rejection() const { return rejection_; }
    // Drops any partial frame: the next byte is read as if between frames.
    void reset();

    // True while a frame has begun (SOI seen) but not ended.
    bool mid_frame() const { return state_ == State::in_frame; }
    // Bytes still to come before the frame in progress ends, EOI included: the
    // fewest a frame can have until its LENGTH has come, then what LENID
    // says (at least 1 once past it, or when LENGTH is unreadable: the frame
    // is judged at its end). 0 between frames.
    size_t bytes_to_frame_end() const;
    uint64_t noise_bytes() const { return noise_bytes_; }
    uint64_t overflow_bytes() const { return overflow_bytes_; }

private:
    enum class State : uint8_t { between, noise, in_frame };

    Step reject(Error reason, uint8_t rtn = 0);
    Step finish();  // at EOI: checks the characters and decodes them
    void start_frame();

    Direction direction_;
    State state_ = State::between;
    std::vector<uint8_t> chars_;    // characters between SOI and EOI, capacity fixed
    size_t char_count_ = 0;
    bool overflowed_ = false;
    std::vector<uint8_t> decoded_;  // the last decoded frame, capacity fixed
    size_t decoded_size_ = 0;
    Rejection rejection_{Error::noise};
    uint64_t noise_bytes_ = 0;
    uint64_t overflow_bytes_ = 0;
};

}  // namespace frame
