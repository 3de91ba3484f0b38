#pragma once
// How the equipment's wire values become record values. Each encoding and
// each missing-value rule lives here once; the rules differ on purpose and
// must not be merged:
//   - VOKA 16-bit fixed point: missing when the first byte is non-zero and
//     equal to the second (0x20 0x20, 0xFF 0xFF); 0x00 0x00 is a real zero.
//   - 4-byte float: missing when all four bytes are equal and non-zero.
//   - rectifier user-defined value: missing when all its bytes are equal,
//     zero included.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>

#include "plugin/shared/byte_reader.h"

namespace wire {

// What a missing current or user-defined value is stored as (bits 0xBDCCCCCD).
inline constexpr float kMissingCurrent = -0.1f;
// What a missing channel voltage or frequency is stored as.
inline constexpr float kMissingChannelValue = 0.0f;
// What a missing rectifier user-defined value is stored as.
inline constexpr float kMissingUserValue = 0.0f;

constexpr bool is_fixed_point_marker(std::array<uint8_t, 2> raw) { return raw[0] != 0 && raw[0] == raw[1]; }

constexpr bool is_float_marker(std::array<uint8_t, 4> raw) {
    return raw[0] != 0 && raw[0] == raw[1] && raw[1] == raw[2] && raw[2] == raw[3];
}

template <size_t N>
constexpr bool is_user_value_marker(const std::array<uint8_t, N>& raw) {
    return std::all_of(raw.begin(), raw.end(), [&](uint8_t b) { return b == raw[0]; });
}

constexpr uint16_t u16_be(std::array<uint8_t, 2> raw) { return static_cast<uint16_t>(raw[0] << 8 | raw[1]); }
constexpr uint16_t u16_le(std::array<uint8_t, 2> raw) { return static_cast<uint16_t>(raw[1] << 8 | raw[0]); }

// The VOKA equipment's usual scale: tenths of the unit (535 is 53.5).
inline constexpr float kTenths = 10.0f;
constexpr float tenths_be(std::array<uint8_t, 2> raw) { return static_cast<float>(u16_be(raw)) / kTenths; }
constexpr float tenths_le(std::array<uint8_t, 2> raw) { return static_cast<float>(u16_le(raw)) / kTenths; }

// A VOKA fixed-point value divided by `divisor`, or `if_missing` for the marker.
constexpr float fixed_point(std::array<uint8_t, 2> raw, float divisor, float if_missing) {
    return is_fixed_point_marker(raw) ? if_missing : static_cast<float>(u16_be(raw)) / divisor;
}

// A little-endian IEEE-754 float as sent, or `if_missing` for the marker.
inline float float_le(std::array<uint8_t, 4> raw, float if_missing) {
    return is_float_marker(raw) ? if_missing : std::bit_cast<float>(raw);
}

// Reader forms: nothing when the value's bytes are not all there.
inline std::optional<float> read_tenths_be(ByteReader& r) {
    auto raw = r.take<2>();
    return raw ? std::optional<float>(tenths_be(*raw)) : std::nullopt;
}

inline std::optional<float> read_fixed_point(ByteReader& r, float divisor, float if_missing) {
    auto raw = r.take<2>();
    return raw ? std::optional<float>(fixed_point(*raw, divisor, if_missing)) : std::nullopt;
}

inline std::optional<float> read_float_le(ByteReader& r, float if_missing) {
    auto raw = r.take<4>();
    return raw ? std::optional<float>(float_le(*raw, if_missing)) : std::nullopt;
}

}  // namespace wire

static_assert(std::bit_cast<uint32_t>(wire::kMissingCurrent) == 0xBDCCCCCD);
static_assert(wire::is_fixed_point_marker({0x20, 0x20}) && !wire::is_fixed_point_marker({0, 0}));
static_assert(!wire::is_fixed_point_marker({0x01, 0x02}));
static_assert(wire::is_float_marker({0x20, 0x20, 0x20, 0x20}) && !wire::is_float_marker({0, 0, 0, 0}));
static_assert(wire::is_user_value_marker(std::array<uint8_t, 2>{0, 0}));
static_assert(wire::fixed_point({0x13, 0x88}, 100, 0) == 50.0f);
static_assert(wire::tenths_be({0x02, 0x17}) == 53.5f && wire::tenths_le({0x17, 0x02}) == 53.5f);
