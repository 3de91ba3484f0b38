#pragma once
// Byte pieces the device tests build answers and stored images from.
#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <vector>

inline std::vector<uint8_t> be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline std::vector<uint8_t> le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
// A float as the devices store it: in the machine's byte order.
inline std::vector<uint8_t> f32(float v) {
    const auto b = std::bit_cast<std::array<uint8_t, 4>>(v);
    return {b.begin(), b.end()};
}

// Concatenates byte pieces: cat({1}, be16(535), {2}).
inline std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
