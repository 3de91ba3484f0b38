// Frames on the power-system line: checksums against worked examples, the
// exact bytes of commands, and every reason the decoder gives for refusing.
// Checksums in the comments were summed by hand: CHKSUM = 0x10000 - (sum of
// the characters between SOI and CHKSUM), LCHKSUM = -(LENID nibbles) mod 16.
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "host/line/frame_codec.h"

namespace {

using frame::Decoder;

// The standard's worked example: the characters sum to 0x038E.
static_assert(frame::checksum("1203400456ABCDFE") == 0xFC72);
static_assert(frame::length_field(0x012) == 0xD012);  // 0+1+2 = 3, -3 mod 16 = 0xD
static_assert(frame::length_field(0x002) == 0xE002);  // as in published command frames
static_assert(frame::length_field(0x000) == 0x0000);
static_assert(frame::length_field(0xFFE) == 0x4FFE);  // F+F+E = 0x2C, -0xC mod 16 = 4

// AC analog answer: VER 20 ADR 01 CID1 40 RTN 00 LENGTH C004 INFO 11 02;
// characters sum to 0x322.
constexpr std::string_view kAnswer = "~20014000C0041102FCDE\r";
constexpr std::string_view kAnswerDecoded = "frame 20 01 40 00 04 00 11 02";

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Feeds `input` byte by byte; one line per frame or rejection.
std::vector<std::string> decode(Decoder& d, std::string_view input) {
    std::vector<std::string> events;
    for (char c : input) {
        switch (d.push(static_cast<uint8_t>(c))) {
            case Decoder::Step::need_more: break;
            case Decoder::Step::frame: events.push_back(fmt::format("frame {:02X}", fmt::join(d.frame(), " "))); break;
            case Decoder::Step::rejected: events.push_back(frame::describe(d.rejection())); break;
        }
    }
    return events;
}

TEST(FrameEncoder, CommandsAreExactFrames) {
    struct Case {
        uint8_t ver, adr, cid1, cid2;
        std::vector<uint8_t> info;
        std::string_view wire;
    } cases[] = {
        {0x20, 0x01, 0x40, 0x42, {}, "~200140420000FDB3\r"},          // sum 0x24D
        {0x20, 0x01, 0x41, 0x42, {0xFF}, "~20014142E002FFFD0F\r"},    // sum 0x2F1
        {0x17, 0x01, 0x2A, 0xC0, {0x00}, "~17012AC0E00200FD1A\r"},    // a published frame, sum 0x2E6
        {0x21, 0xFE, 0x42, 0x44, {0xAB, 0xCD}, "~21FE4244C004ABCDFC63\r"},  // sum 0x39D
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame::encode_command(c.ver, c.adr, c.cid1, c.cid2, c.info), bytes_of(c.wire)) << c.wire;
    }
}

// The largest INFO a 12-bit LENID allows is framed and fills a default
// decoder exactly; one byte more is refused whole.
TEST(FrameEncoder, InfoLengthIsLimitedByTwelveBitLenid) {
    const std::vector<uint8_t> largest(frame::kMaxInfoBytes, 0x5A);
    const auto wire = frame::encode_answer(0x20, 0x01, 0x40, 0x00, largest);
    ASSERT_TRUE(wire);
    EXPECT_EQ(std::string(wire->begin() + 9, wire->begin() + 13), "4FFE");
    Decoder d;
    const auto events = decode(d, {reinterpret_cast<const char*>(wire->data()), wire->size()});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].substr(0, 23), "frame 20 01 40 00 FE 0F");

    const std::vector<uint8_t> one_more(frame::kMaxInfoBytes + 1, 0x5A);
    EXPECT_FALSE(frame::encode_command(0x20, 0x01, 0x40, 0x42, one_more));
}

TEST(FrameDecoder, DecodesAnswersInAStream) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> events;
    } cases[] = {
        {"one answer", std::string(kAnswer), {kAnswerDecoded.data()}},
        {"empty INFO", "~200140000000FDB9\r", {"frame 20 01 40 00 00 00"}},
        {"two in a row", std::string(kAnswer) + std::string(kAnswer), {kAnswerDecoded.data(), kAnswerDecoded.data()}},
        {"noise before and between", std::string("\x00\xFFxy", 4) + std::string(kAnswer) + "\r\n" + std::string(kAnswer),
         {"noise before SOI", kAnswerDecoded.data(), "noise before SOI", kAnswerDecoded.data()}},
    };
    for (const auto& c : cases) {
        Decoder d;
        EXPECT_EQ(decode(d, c.input), c.events) << c.name;
    }
    Decoder d;
    decode(d, std::string("\x00\xFFxy", 4) + std::string(kAnswer) + "\r\n");
    EXPECT_EQ(d.noise_bytes(), 6u);
}

// Each bad frame is followed by a good one: the decoder must report the
// reason and then take the next frame.
TEST(FrameDecoder, RejectsEachFaultAndResynchronises) {
    struct Case {
        const char* name;
        std::string_view bad;
        std::string_view reason;
    } cases[] = {
        {"lower-case hex", "~20014000C0041102fcde\r", "bad hex digit"},
        {"not a hex digit", "~2001400GC0041102FCDE\r", "bad hex digit"},
        {"ends too early", "~2001400\r", "frame truncated"},
        {"cut by a new SOI", "~2001400", "frame truncated"},
        {"checksum off by one", "~20014000C0041102FCDF\r", "checksum wrong"},
        // LCHKSUM D instead of C; CHKSUM right for the characters (sum 0x323).
        {"length checksum", "~20014000D0041102FCDD\r", "length checksum wrong"},
        // LENID 6 (LCHKSUM A) but 4 INFO characters; sum 0x322.
        {"LENID above INFO", "~20014000A0061102FCDE\r", "length mismatch"},
        // LENID 5 (LCHKSUM B) with 5 INFO characters: half a byte over; sum 0x355.
        {"odd LENID", "~20014000B00511023FCAB\r", "length mismatch"},
        // RTN 04 (sum 0x326).
        {"equipment refusal", "~20014004C0041102FCDA\r", "equipment refused with RTN 0x04"},
        // A command seen as an answer: its CID2 stands where RTN is.
        {"a command", "~200140420000FDB3\r", "equipment refused with RTN 0x42"},
    };
    for (const auto& c : cases) {
        Decoder d;
        EXPECT_EQ(decode(d, std::string(c.bad) + std::string(kAnswer)),
                  (std::vector<std::string>{std::string(c.reason), kAnswerDecoded.data()}))
            << c.name;
    }
}

// What a reader may wait for: until LENGTH has come, the rest of the smallest
// frame; then the rest of the frame LENID announces; 1 when LENGTH cannot be
// read (the frame is judged at its end); 0 between frames.
TEST(FrameDecoder, KnowsHowManyBytesAreStillToCome) {
    struct Case {
        std::string_view pushed;
        size_t rest;
    } cases[] = {
        {"", 0},
        {"~", 17},                      // 16 characters and EOI at least
        {"~2001", 13},
        {"~20014000C00", 6},            // LENGTH not whole yet
        {"~20014000C004", 9},           // LENID 4: "1102" "FCDE" EOI
        {"~20014000C0041102FCD", 2},
        {"~20014000C0041102FCDE", 1},
        {kAnswer, 0},                   // a whole frame: between frames again
        {"~20014000CXY4", 1},           // LENGTH unreadable
        {"~20014000CFFE", 0xFFE + 4 + 1},  // all of INFO, CHKSUM and EOI still to come
        {"\xFF\xFF", 0},                // noise
    };
    for (const Case& c : cases) {
        Decoder d;
        decode(d, c.pushed);
        EXPECT_EQ(d.bytes_to_frame_end(), c.rest) << c.pushed;
    }
}

TEST(FrameDecoder, FrameBeyondItsBufferIsCountedNotStoredAndRejected) {
    // 20 characters fit; INFO 11 02 00 makes 22 (LENGTH A006, sum 0x382).
    Decoder d(Decoder::Direction::answers, 20);
    EXPECT_EQ(decode(d, "~20014000A006110200FC7E\r" + std::string(kAnswer)),
              (std::vector<std::string>{"frame too long", kAnswerDecoded.data()}));
    EXPECT_EQ(d.overflow_bytes(), 2u);
    // A lost EOI: the next SOI ends the long frame.
    EXPECT_EQ(decode(d, "~20014000A006110200FC7E" + std::string(kAnswer)),
              (std::vector<std::string>{"frame too long", kAnswerDecoded.data()}));
}

}  // namespace
