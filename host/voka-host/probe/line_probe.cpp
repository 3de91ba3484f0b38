#include "host/voka-host/probe/line_probe.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include <fmt/format.h>

#include "plugin/shared/byte_reader.h"
#include "protocol/commands.h"

namespace probe {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kVersion = 0x20;          // the "voka" master's protocol version
constexpr int kMinGapMs = 50;               // USB adapters hand bytes on in bursts

std::string model_text(std::span<const uint8_t> info) {
    std::string text;
    for (uint8_t c : info.first(std::min<size_t>(info.size(), 20))) {
        if (c >= 0x20 && c < 0x7F)
            text += static_cast<char>(c);
        else
            text += fmt::format("\\x{:02X}", c);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (text.size() >= 4 && text.ends_with("\\x00")) text.resize(text.size() - 4);
    return text;
}

// The count byte of a "voka" answer to (cid1, analog), where the command table places it.
std::optional<unsigned> count_in(const Reply& reply, uint8_t cid1) {
    if (reply.kind != Reply::Kind::data) return std::nullopt;
    ByteReader r(reply.info);
    if (!r.skip(protocol::kVokaSet.find(cid1, protocol::analog_cid2(protocol::CommandSet::voka))->count_at))
        return std::nullopt;
    const auto count = r.u8();
    return count ? std::optional<unsigned>(*count) : std::nullopt;
}

std::string unusable(const Reply& r) {
    switch (r.kind) {
        case Reply::Kind::data: return "answer too short";
        case Reply::Kind::refused:
        case Reply::Kind::garbled: return r.why;
        case Reply::Kind::silent: return "no answer";
    }
    return "no answer";
}

}  // namespace

TryTiming try_timing(int baud_rate, size_t command_bytes, int start_ms) {
    TryTiming t;
    t.first_byte_ms = protocol::wire_ms(command_bytes, baud_rate) + start_ms;
    t.gap_ms = std::max(kMinGapMs, protocol::wire_ms(10, baud_rate));
    t.longest_ms = protocol::wire_ms(protocol::frame_bytes(frame::kMaxInfoBytes), baud_rate);
    return t;
}

LineProbe::LineProbe(ByteLine& line, int baud_rate, int answer_start_ms)
    : line_(line),
      baud_rate_(baud_rate),
      answer_start_ms_(answer_start_ms),
      decoder_(frame::Decoder::Direction::commands) {}
// The decoder reads answers as commands, RTN untouched: a refusal is judged
// here, so that it still says who refused.

Reply LineProbe::ask(uint8_t address, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) {
    for (;;) {  // what came before the command answers nothing
        const LineRead old = line_.read_some(chunk_, 0);
        if (old.error) throw std::system_error(old.error, "reading the line");
        if (old.count == 0) break;
    }
    decoder_.reset();
    const auto command = frame::encode_command(kVersion, address, cid1, cid2, info);
    if (!command) return {Reply::Kind::silent, 0, {}, "command too long"};
    if (const auto error = line_.write_all(*command)) throw std::system_error(error, "writing to the line");

    const TryTiming timing = try_timing(baud_rate_, command->size(), answer_start_ms_);
    const auto start = Clock::now();
    const auto last_chance = start + std::chrono::milliseconds(timing.first_byte_ms + timing.longest_ms);
    auto deadline = start + std::chrono::milliseconds(timing.first_byte_ms);
    Reply reply{Reply::Kind::silent, 0, {}, {}};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        const LineRead got = line_.read_some(chunk_, static_cast<int>(left));
        if (got.error) throw std::system_error(got.error, "reading the line");
        if (got.count == 0) continue;
        deadline = std::min(last_chance, Clock::now() + std::chrono::milliseconds(timing.gap_ms));
        if (reply.kind == Reply::Kind::silent) reply = {Reply::Kind::garbled, 0, {}, "bytes that made no frame"};
        for (uint8_t byte : std::span(chunk_).first(got.count)) {
            const auto step = decoder_.push(byte);
            if (step == frame::Decoder::Step::rejected) {
                reply.why = frame::describe(decoder_.rejection());
                continue;
            }
            if (step != frame::Decoder::Step::frame) continue;
            ByteReader header(decoder_.frame());
            header.skip(1);  // VER
            const auto adr = header.u8(), answer_cid1 = header.u8(), rtn = header.u8();
            if (adr != address || answer_cid1 != cid1) {
                reply.why = fmt::format("an answer from address {} to CID1 0x{:02X}", *adr, *answer_cid1);
                continue;
            }
            header.skip(2);  // LENID: the decoder has checked it against the INFO present
            std::vector<uint8_t> answer_info(header.remaining());
            header.copy_to(answer_info);
            // A two-wire adapter hands back what it sent: the command itself is no answer.
            if (*rtn == cid2 && std::ranges::equal(answer_info, info)) continue;
            reply.rtn = *rtn;
            if (*rtn != 0) {
                reply.kind = Reply::Kind::refused;
                reply.why = frame::describe({frame::Error::equipment_refused, *rtn});
                return reply;
            }
            reply.kind = Reply::Kind::data;
            reply.info = std::move(answer_info);
            reply.why.clear();
            return reply;
        }
    }
    if (reply.kind == Reply::Kind::garbled) heard_garble_ = true;
    return reply;
}

std::optional<Finding> LineProbe::identify(uint8_t address) {
    using namespace protocol;
    static constexpr uint8_t kGroupByte = 0x00;
    constexpr uint8_t kAnalog = analog_cid2(CommandSet::voka);
    const Reply rc = ask(address, kCidRectifier, kAnalog);
    if (rc.kind == Reply::Kind::silent || rc.kind == Reply::Kind::garbled) return std::nullopt;

    Finding f;
    f.baud_rate = baud_rate_;
    f.address = address;
    f.modules = count_in(rc, kCidRectifier);
    if (!f.modules) f.notes.push_back("rectifier analog values (41 42): " + unusable(rc));

    const Reply ac = ask(address, kCidAc, kAnalog, std::span(&kGroupByte, 1));
    f.ac_units = count_in(ac, kCidAc);
    if (!f.ac_units) f.notes.push_back("AC analog values (40 42): " + unusable(ac));

    const Reply dc = ask(address, kCidDc, kAnalog);
    f.dc_units = count_in(dc, kCidDc);
    if (!f.dc_units) f.notes.push_back("DC analog values (42 42): " + unusable(dc));

    const Reply model = ask(address, kCidAc, kCid2Model);
    if (model.kind == Reply::Kind::data && !model.info.empty())
        f.model = model_text(model.info);
    else
        f.notes.push_back("model (40 51): " + unusable(model));
    return f;
}

}  // namespace probe
