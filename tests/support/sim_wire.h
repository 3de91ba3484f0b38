#pragma once
// Commands as the host frames them, and what the host's answer decoder makes
// of the bytes a simulated power system sends back.
#include <cstdint>
#include <span>
#include <vector>

#include "host/line/frame_codec.h"

inline std::vector<uint8_t> command_frame(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {},
                                          uint8_t adr = 1, uint8_t ver = 0x20) {
    return frame::encode_command(ver, adr, cid1, cid2, info).value();
}

// Everything the answer decoder reports for a run of bytes.
struct Decoded {
    std::vector<std::vector<uint8_t>> frames;  // decoded frames (VER ADR CID1 RTN LENID(2) INFO)
    std::vector<frame::Rejection> rejections;

    std::vector<uint8_t> info(size_t i = 0) const {
        return {frames.at(i).begin() + frame::kDecodedHeaderBytes, frames.at(i).end()};
    }
};

inline Decoded decode_answers(std::span<const uint8_t> bytes) {
    frame::Decoder decoder(frame::Decoder::Direction::answers);
    Decoded out;
    for (uint8_t b : bytes) {
        const auto step = decoder.push(b);
        if (step == frame::Decoder::Step::frame) out.frames.emplace_back(decoder.frame().begin(), decoder.frame().end());
        if (step == frame::Decoder::Step::rejected) out.rejections.push_back(decoder.rejection());
    }
    return out;
}
