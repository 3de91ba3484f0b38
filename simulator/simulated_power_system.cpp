#include "simulator/simulated_power_system.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace sim {
namespace {

using protocol::analog_cid2;
using protocol::params_cid2;

// What a disturbed line shows between frames: no SOI among them, an EOI and
// bytes above 0x7F included.
constexpr uint8_t kNoise[] = {0xFF, 0x00, 0x55, 0xAA, 0x0D, 0x20, 0x7F, 0x01};

}  // namespace

SimulatedPowerSystem::SimulatedPowerSystem(Scenario scenario)
    : scenario_(std::move(scenario)), site_(scenario_.site_at(0)), fault_hits_(scenario_.faults.size()) {}

void SimulatedPowerSystem::event(std::string_view text) const {
    if (events_) events_(text);
}

std::vector<Answer> SimulatedPowerSystem::feed(std::span<const uint8_t> bytes) {
    std::vector<Answer> answers;
    for (uint8_t b : bytes) {
        switch (decoder_.push(b)) {
            case frame::Decoder::Step::need_more: break;
            case frame::Decoder::Step::rejected:
                if (decoder_.rejection().reason != frame::Error::noise) ++counters_.bad_frames;
                break;
            case frame::Decoder::Step::frame:
                if (auto a = answer(decoder_.frame())) answers.push_back(std::move(*a));
                break;
        }
    }
    return answers;
}

void SimulatedPowerSystem::note_round(uint8_t cid1, uint8_t cid2) {
    const CommandSet set = scenario_.equipment.command_set;
    const uint16_t command = static_cast<uint16_t>(cid1 << 8 | cid2);
    const bool retry =
        last_answer_spoilt_ && command == last_command_ && repeats_ < scenario_.equipment.host_retries;
    repeats_ = retry ? repeats_ + 1 : 0;
    last_command_ = command;
    last_answer_spoilt_ = false;
    if (retry) return;
    if (cid2 == analog_cid2(set) && (cid1 == 0x40 || (cid1 == 0x41 && !ac_analog_since_rc_))) {
        ++round_;
        site_ = scenario_.site_at(round_);
        std::fill(fault_hits_.begin(), fault_hits_.end(), 0u);
        event(fmt::format("round {} begins", round_));
    }
    if (cid2 == analog_cid2(set) && cid1 == 0x40) ac_analog_since_rc_ = true;
    if (cid2 == analog_cid2(set) && cid1 == 0x41) ac_analog_since_rc_ = false;
    if (cid1 == 0x42 && cid2 == params_cid2(set)) finished_round_ = round_;
}

// Decoded command: VER ADR CID1 CID2 LENID(2) INFO.
std::optional<Answer> SimulatedPowerSystem::answer(std::span<const uint8_t> command) {
    const uint8_t ver = command[0], adr = command[1], cid1 = command[2], cid2 = command[3];
    if (adr != scenario_.equipment.address) {
        ++counters_.other_address;
        return std::nullopt;
    }
    ++counters_.commands;
    note_round(cid1, cid2);

    std::vector<const Fault*> faults;
    for (size_t i = 0; i < scenario_.faults.size(); ++i) {
        const Fault& f = scenario_.faults[i];
        if (!f.applies(round_, cid1, cid2) || (f.answers && fault_hits_[i] >= *f.answers)) continue;
        ++fault_hits_[i];
        faults.push_back(&f);
    }
    const auto has = [&](FaultKind kind) {
        return std::any_of(faults.begin(), faults.end(), [kind](const Fault* f) { return f->kind == kind; });
    };
    counters_.faults += static_cast<unsigned>(faults.size());
    for (const Fault* f : faults)
        if (f->kind != FaultKind::wrong_unit_count && f->kind != FaultKind::noise) last_answer_spoilt_ = true;
    for (const Fault* f : faults)
        event(fmt::format("round {}: {} on CID1 0x{:02X} CID2 0x{:02X}", round_, to_string(f->kind), cid1, cid2));
    if (has(FaultKind::no_answer)) {
        ++counters_.unanswered;
        return std::nullopt;
    }

    auto info = answer_info(site_, scenario_.equipment.command_set, cid1, cid2);
    uint8_t rtn = 0x00;
    if (!info) {
        ++counters_.unknown_commands;
        rtn = kRtnUnknownCommand;
        info.emplace();
    }
    Answer a;
    a.round = round_;
    a.delay_ms = scenario_.equipment.answer_delay_ms;
    // The faults, in the order a frame is made: content, framing, then the line.
    for (const Fault* f : faults) {
        if (f->kind == FaultKind::error_rtn) {
            rtn = f->rtn;
            info->clear();
        }
    }
    const protocol::Command* described = protocol::commands(scenario_.equipment.command_set).find(cid1, cid2);
    for (const Fault* f : faults) {
        if (f->kind != FaultKind::wrong_unit_count || rtn != 0x00 || !described ||
            described->counted == protocol::Counted::nothing || described->count_at >= info->size())
            continue;
        uint8_t& count = (*info)[described->count_at];
        count = f->unit_count.value_or(static_cast<uint8_t>(count + 1));
    }
    auto frame_bytes = frame::encode_answer(ver, scenario_.equipment.address, cid1, rtn, *info);
    if (!frame_bytes) {  // parse_scenario() refuses sites whose answers are this long
        ++counters_.unanswered;
        return std::nullopt;
    }
    std::vector<uint8_t>& out = *frame_bytes;
    if (has(FaultKind::bad_checksum)) {
        uint8_t& last_digit = out[out.size() - 2];  // the checksum's last character, before EOI
        last_digit = last_digit == '0' ? '1' : '0';
    }
    if (has(FaultKind::truncated)) {
        // The EOI comes before the header and checksum are complete.
        const size_t chars = std::min((out.size() - 2) / 2, frame::kMinChars - 1);
        out.resize(1 + chars);
        out.push_back(frame::kEoi);
    }
    for (const Fault* f : faults) {
        if (f->kind == FaultKind::noise) {
            std::vector<uint8_t> noise(f->noise_bytes);
            for (size_t i = 0; i < noise.size(); ++i) noise[i] = kNoise[i % std::size(kNoise)];
            out.insert(out.begin(), noise.begin(), noise.end());
        }
        if (f->kind == FaultKind::delay) a.delay_ms += f->delay_ms;
    }
    a.bytes = std::move(out);
    return a;
}

}  // namespace sim
