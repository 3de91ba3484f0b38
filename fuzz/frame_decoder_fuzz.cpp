// Feeds the frame decoders arbitrary bytes in arbitrary chunks, and encodes
// arbitrary commands and answers to decode them again. Every frame a decoder
// yields must be consistent with its own length, and encoding then decoding
// must give back the same fields.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/call_sequence.h"
#include "host/line/frame_codec.h"

namespace {

using frame::Decoder;

void require(bool holds) {
    if (!holds) abort();
}

// Decodes `wire` in chunks of `chunk` bytes; the frame if exactly one came and nothing was rejected.
std::vector<uint8_t> decode_one(Decoder::Direction direction, std::span<const uint8_t> wire, size_t chunk,
                                frame::Rejection* rejection = nullptr) {
    Decoder d(direction);
    std::vector<uint8_t> out;
    int events = 0;
    for (size_t at = 0; at < wire.size(); at += chunk) {
        for (uint8_t b : wire.subspan(at, std::min(chunk, wire.size() - at))) {
            const auto step = d.push(b);
            if (step == Decoder::Step::need_more) continue;
            ++events;
            if (step == Decoder::Step::frame) out.assign(d.frame().begin(), d.frame().end());
            if (step == Decoder::Step::rejected && rejection) *rejection = d.rejection();
        }
    }
    require(events == 1);
    return out;
}

// A decoded frame agrees with its own LENID and survives re-encoding.
void check_frame(Decoder::Direction direction, std::span<const uint8_t> f) {
    require(f.size() >= frame::kDecodedHeaderBytes);
    const unsigned lenid = f[4] | f[5] << 8;
    require(lenid % 2 == 0 && f.size() == frame::kDecodedHeaderBytes + lenid / 2);
    require(direction == Decoder::Direction::commands || f[3] == 0x00);
    const auto wire = frame::encode_answer(f[0], f[1], f[2], f[3], f.subspan(frame::kDecodedHeaderBytes));
    require(wire && decode_one(direction, *wire, wire->size()) == std::vector<uint8_t>(f.begin(), f.end()));
}

void feed(Decoder& d, Decoder::Direction direction, std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes)
        if (d.push(b) == Decoder::Step::frame) check_frame(direction, d.frame());
}

// payload: VER ADR CID1 CID2, then INFO.
void round_trip(uint8_t selector, std::span<const uint8_t> payload) {
    if (payload.size() < 4) return;
    const uint8_t ver = payload[0], adr = payload[1], cid1 = payload[2], cid2 = payload[3];
    const auto info = payload.subspan(4);
    const size_t chunk = (selector >> 1) % 7 + 1;
    std::vector<uint8_t> expected = {ver, adr, cid1, cid2, static_cast<uint8_t>(info.size() * 2 & 0xFF),
                                     static_cast<uint8_t>(info.size() * 2 >> 8)};
    expected.insert(expected.end(), info.begin(), info.end());

    const auto command = frame::encode_command(ver, adr, cid1, cid2, info);
    require(command.has_value());
    require(decode_one(Decoder::Direction::commands, *command, chunk) == expected);

    // The same command taken as an answer: CID2 stands where RTN is.
    frame::Rejection why{frame::Error::noise};
    const auto as_answer = decode_one(Decoder::Direction::answers, *command, chunk, &why);
    if (cid2 == 0x00) {
        require(as_answer == expected);
    } else {
        require(as_answer.empty() && why.reason == frame::Error::equipment_refused && why.rtn == cid2);
        expected[3] = 0x00;
        const auto answer = frame::encode_answer(ver, adr, cid1, 0x00, info);
        require(answer && decode_one(Decoder::Direction::answers, *answer, chunk) == expected);
    }
}

}  // namespace

// Each call of the input: a selector byte, a length byte, the payload. Odd
// selectors round-trip the payload as a frame; even ones feed it as a chunk
// of line input to a full-size answer decoder and a small command decoder.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Decoder answers(Decoder::Direction::answers);
    Decoder small(Decoder::Direction::commands, 40);  // overflows on most long frames
    for_each_call(data, size, [&](uint8_t selector, const uint8_t* payload, int len) {
        const std::span<const uint8_t> bytes(payload, static_cast<size_t>(len));
        if (selector & 1) {
            round_trip(selector, bytes);
            return;
        }
        feed(answers, Decoder::Direction::answers, bytes);
        feed(small, Decoder::Direction::commands, bytes);
        if (selector & 2) answers.reset();
    });
    return 0;
}
