#pragma once
// Builds a decoded answer as the host hands it to a master: two bytes not
// read, CID1, one byte not read, the INFO length in characters (little-endian,
// twice the byte count), then the INFO bytes.
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> decoded_answer(uint8_t cid1, const std::vector<uint8_t>& info) {
    const size_t chars = info.size() * 2;
    std::vector<uint8_t> frame = {0x20, 0x01, cid1, 0x00, static_cast<uint8_t>(chars & 0xFF),
                                  static_cast<uint8_t>(chars >> 8)};
    frame.insert(frame.end(), info.begin(), info.end());
    return frame;
}
