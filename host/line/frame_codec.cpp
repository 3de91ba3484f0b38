#include "host/line/frame_codec.h"

#include <algorithm>

#include <fmt/format.h>

namespace frame {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kLengthAt = 8;  // LENGTH's four characters follow VER ADR CID1 CID2|RTN

// The value of an upper-case hex digit, or -1.
constexpr int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `chars` holds only hex digits and an even count; out.size() == chars.size() / 2.
void unhex(std::span<const uint8_t> chars, std::span<uint8_t> out) {
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(hex_value(chars[2 * i]) << 4 | hex_value(chars[2 * i + 1]));
}

uint16_t hex_u16(std::span<const uint8_t, 4> chars) {
    unsigned v = 0;
    for (uint8_t c : chars) v = v << 4 | static_cast<unsigned>(hex_value(c));
    return static_cast<uint16_t>(v);
}

void put_hex_u8(std::vector<uint8_t>& out, uint8_t b) {
    out.push_back(static_cast<uint8_t>(kHexDigits[b >> 4]));
    out.push_back(static_cast<uint8_t>(kHexDigits[b & 0xF]));
}

std::optional<std::vector<uint8_t>> encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                                           std::span<const uint8_t> info) {
    if (info.size() > kMaxInfoBytes) return std::nullopt;
    const auto length = length_field(static_cast<uint16_t>(info.size() * 2));
    std::vector<uint8_t> out;
    out.reserve(1 + kMinChars + info.size() * 2 + 1);
    out.push_back(kSoi);
    for (uint8_t b : {ver, adr, cid1, cid2_or_rtn, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)})
        put_hex_u8(out, b);
    for (uint8_t b : info) put_hex_u8(out, b);
    const uint16_t sum = checksum(std::span<const uint8_t>(out).subspan(1));
    put_hex_u8(out, static_cast<uint8_t>(sum >> 8));
    put_hex_u8(out, static_cast<uint8_t>(sum));
    out.push_back(kEoi);
    return out;
}

}  // namespace

std::string_view to_string(Error e) {
    switch (e) {
        case Error::noise: return "noise before SOI";
        case Error::truncated: return "frame truncated";
        case Error::too_long: return "frame too long";
        case Error::bad_hex_digit: return "bad hex digit";
        case Error::checksum: return "checksum wrong";
        case Error::length_checksum: return "length checksum wrong";
        case Error::length_mismatch: return "length mismatch";
        case Error::equipment_refused: return "equipment refused";
        case Error::wrong_address: return "answer from another address";
        case Error::wrong_command: return "answer to another command group";
    }
    return "unknown";
}

std::string_view key(Error e) {
    switch (e) {
        case Error::noise: return "noise";
        case Error::truncated: return "truncated";
        case Error::too_long: return "too_long";
        case Error::bad_hex_digit: return "bad_hex_digit";
        case Error::checksum: return "checksum";
        case Error::length_checksum: return "length_checksum";
        case Error::length_mismatch: return "length_mismatch";
        case Error::equipment_refused: return "equipment_refused";
        case Error::wrong_address: return "wrong_address";
        case Error::wrong_command: return "wrong_command";
    }
    return "unknown";
}

std::string describe(const Rejection& r) {
    if (r.reason == Error::equipment_refused) return fmt::format("equipment refused with RTN 0x{:02X}", r.rtn);
    return std::string(to_string(r.reason));
}

std::optional<std::vector<uint8_t>> encode_command(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                                                   std::span<const uint8_t> info) {
    return encode(ver, adr, cid1, cid2, info);
}

std::optional<std::vector<uint8_t>> encode_answer(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn,
                                                  std::span<const uint8_t> info) {
    return encode(ver, adr, cid1, rtn, info);
}

Decoder::Decoder(Direction direction, size_t max_chars)
    : direction_(direction),
      chars_(std::max(max_chars, kMinChars)),
      decoded_(kDecodedHeaderBytes + (chars_.size() - kMinChars) / 2) {}

void Decoder::reset() {
    state_ = State::between;
    char_count_ = 0;
    overflowed_ = false;
}

void Decoder::start_frame() {
    state_ = State::in_frame;
    char_count_ = 0;
    overflowed_ = false;
}

Decoder::Step Decoder::reject(Error reason, uint8_t rtn) {
    rejection_ = {reason, rtn};
    return Step::rejected;
}

Decoder::Step Decoder::push(uint8_t byte) {
    decoded_size_ = 0;  // a frame stays readable only until the next byte
    switch (state_) {
        case State::between:
        case State::noise:
            if (byte == kSoi) {
                start_frame();
                return Step::need_more;
            }
            ++noise_bytes_;
            if (state_ == State::noise) return Step::need_more;
            state_ = State::noise;
            return reject(Error::noise);
        case State::in_frame:
            if (byte == kSoi) {
                // The frame lost its end; this SOI starts the next one.
                const bool overflowed = overflowed_;
                start_frame();
                return reject(overflowed ? Error::too_long : Error::truncated);
            }
            if (byte == kEoi) {
                state_ = State::between;
                return finish();
            }
            if (char_count_ < chars_.size()) {
                chars_[char_count_++] = byte;
            } else {
                overflowed_ = true;
                ++overflow_bytes_;
            }
            return Step::need_more;
    }
    return Step::need_more;
}

size_t Decoder::bytes_to_frame_end() const {
    if (state_ != State::in_frame) return 0;
    if (char_count_ < kHeaderChars) return kMinChars - char_count_ + 1;
    const std::span<const uint8_t> length_chars(chars_.data() + kLengthAt, 4);
    if (!std::all_of(length_chars.begin(), length_chars.end(), [](uint8_t c) { return hex_value(c) >= 0; }))
        return 1;
    const size_t lenid = hex_u16(length_chars.first<4>()) & 0xFFF;
    const size_t total = kMinChars + lenid;
    return total > char_count_ ? total - char_count_ + 1 : 1;
}

Decoder::Step Decoder::finish() {
    if (overflowed_) return reject(Error::too_long);
    const std::span<const uint8_t> chars(chars_.data(), char_count_);
    if (chars.size() < kMinChars) return reject(Error::truncated);
    if (!std::all_of(chars.begin(), chars.end(), [](uint8_t c) { return hex_value(c) >= 0; }))
        return reject(Error::bad_hex_digit);

    const auto body = chars.first(chars.size() - kChecksumChars);
    if (checksum(body) != hex_u16(chars.last<kChecksumChars>())) return reject(Error::checksum);

    const uint16_t length = hex_u16(chars.subspan<kLengthAt, 4>());
    const uint16_t lenid = length & 0xFFF;
    if (length >> 12 != length_checksum(lenid)) return reject(Error::length_checksum);
    if (lenid % 2 != 0 || lenid != body.size() - kHeaderChars) return reject(Error::length_mismatch);

    // The wire header bytes are VER ADR CID1 RTN LENGTH(2, high first); the
    // decoded layout keeps the first four and carries LENID low byte first.
    const size_t size = kDecodedHeaderBytes + lenid / 2;
    unhex(body, std::span<uint8_t>(decoded_).first(size));
    decoded_[4] = static_cast<uint8_t>(lenid & 0xFF);
    decoded_[5] = static_cast<uint8_t>(lenid >> 8);
    if (direction_ == Direction::answers && decoded_[3] != 0x00) return reject(Error::equipment_refused, decoded_[3]);
    decoded_size_ = size;
    return Step::frame;
}

}  // namespace frame
