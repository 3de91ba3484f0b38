#pragma once
// The power system's commands, described once: CID1 and CID2, what each
// answer's INFO holds, its size from the site's counts, and its time on the
// wire. The plug-in's master takes its command table from here, voka-host its
// answer time-out check, diagnosis and probe, the simulator its answers.
//
// Two command sets: the "voka" one (16-bit fixed point, 0x42 analog and 0x47
// parameter commands) and the general one (4-byte floats, 0x41 and 0x46, and
// the model query 0x51). Standard library only, constexpr data: the plug-in's
// code may include it.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "protocol/frame_layout.h"

namespace protocol {

enum class CommandSet : uint8_t { voka, general };

inline constexpr uint8_t kCidAc = 0x40;
inline constexpr uint8_t kCidRectifier = 0x41;
inline constexpr uint8_t kCidDc = 0x42;
inline constexpr uint8_t kCid2SwitchStates = 0x43;
inline constexpr uint8_t kCid2Alarms = 0x44;
inline constexpr uint8_t kCid2Model = 0x51;
constexpr uint8_t analog_cid2(CommandSet set) { return set == CommandSet::general ? 0x41 : 0x42; }
constexpr uint8_t params_cid2(CommandSet set) { return set == CommandSet::general ? 0x46 : 0x47; }
// An analog value: 16-bit fixed point, or a 4-byte float.
constexpr size_t value_bytes(CommandSet set) { return set == CommandSet::general ? 4 : 2; }

// DATAFLAG bits of an analog answer: switch states or alarms changed.
inline constexpr uint8_t kFlagSwitchStates = 0x10;
inline constexpr uint8_t kFlagAlarms = 0x01;

// What a site's answers grow with.
struct Counts {
    size_t ac_units = 0;
    size_t ac_channels = 0;       // over all AC units
    size_t ac_switch_states = 0;  // over all AC units
    size_t dc_units = 0;
    size_t battery_groups = 0;  // over all DC units
    size_t modules = 0;         // rectifier modules
};

// The count an answer's count byte carries.
enum class Counted : uint8_t { nothing, ac_units, dc_units, modules };

enum class Answer : uint8_t {
    ac_analog, ac_switch_states, ac_alarms, ac_params, rc_analog, rc_status, rc_alarms, dc_analog, dc_alarms, dc_params,
    model,
};

// An answer's INFO bytes: `fixed` plus a share for each counted thing, and
// never fewer than `at_least`.
struct Size {
    size_t fixed = 0, per_ac_unit = 0, per_ac_channel = 0, per_switch_state = 0, per_dc_unit = 0,
           per_battery_group = 0, per_module = 0, at_least = 0;
};

struct Command {
    Answer answer;
    uint8_t cid1, cid2;
    Counted counted = Counted::nothing;
    size_t count_at = 0;  // the count byte's offset in INFO, where `counted` is not nothing
    Size size;
    const char* holds;  // the INFO, in words
};

constexpr size_t info_bytes(const Command& c, const Counts& n) {
    const Size& s = c.size;
    return std::max(s.at_least, s.fixed + s.per_ac_unit * n.ac_units + s.per_ac_channel * n.ac_channels +
                                    s.per_switch_state * n.ac_switch_states + s.per_dc_unit * n.dc_units +
                                    s.per_battery_group * n.battery_groups + s.per_module * n.modules);
}

// The commands a set answers, in the order of a round.
class CommandList {
public:
    constexpr explicit CommandList(CommandSet set) {
        const size_t v = value_bytes(set);
        const bool general = set == CommandSet::general;
        // The general set counts the AC units in every AC answer; the "voka"
        // set in its analog answer only, where the unit count is also the
        // first unit's channel count: one count byte fewer than units, and
        // never fewer than DATAFLAG and the count.
        const size_t ac_count = general ? 1 : 0;
        const Counted ac_counted = general ? Counted::ac_units : Counted::nothing;
        add({Answer::ac_analog, kCidAc, analog_cid2(set), Counted::ac_units, 1,
             {.fixed = 1 + ac_count, .per_ac_unit = 1 + 3 * v, .per_ac_channel = 4 * v + 1, .at_least = 2},
             "DATAFLAG, units, per unit: channels (voka: not the first's), per channel a b c f, 0; ia ib ic"});
        add({Answer::ac_switch_states, kCidAc, kCid2SwitchStates, ac_counted, 1,
             {.fixed = 1 + ac_count, .per_ac_unit = 2, .per_switch_state = 1},
             "DATAFLAG, units (general), per unit: switch states, each state, 0 user states"});
        add({Answer::ac_alarms, kCidAc, kCid2Alarms, ac_counted, 1,
             {.fixed = 1 + ac_count, .per_ac_unit = 4, .per_ac_channel = 16},
             "DATAFLAG, units (general), per unit: channels, per channel a b c f states, 0, 10 user bytes; 3 states"});
        add({Answer::ac_params, kCidAc, params_cid2(set), Counted::nothing, 0, {.fixed = 5 * v + 1},
             "5 AC limits (voka: least significant byte first), 0 user values"});
        add({Answer::rc_analog, kCidRectifier, analog_cid2(set), Counted::modules, 1 + v,
             {.fixed = 2 + v, .per_module = 2 * v + 1}, "DATAFLAG, output volts, modules, per module: amperes, 1, a value"});
        add({Answer::rc_status, kCidRectifier, kCid2SwitchStates, Counted::modules, 1, {.fixed = 2, .per_module = 5},
             "DATAFLAG, modules, per module: 3 states, 1, a user state"});
        add({Answer::rc_alarms, kCidRectifier, kCid2Alarms, Counted::modules, 1, {.fixed = 2, .per_module = 2},
             "DATAFLAG, modules, per module: fault, 0 user alarms"});
        add({Answer::dc_analog, kCidDc, analog_cid2(set), Counted::dc_units, 1,
             {.fixed = 2, .per_dc_unit = 2 * v + 3, .per_battery_group = v},
             "DATAFLAG, units, per unit: volts, amperes, battery groups, their currents, 0 branches, 0 user values"});
        add({Answer::dc_alarms, kCidDc, kCid2Alarms, Counted::dc_units, 1, {.fixed = 2, .per_dc_unit = 3},
             "DATAFLAG, units, per unit: voltage state, 0 fuse states, 0 user states"});
        add({Answer::dc_params, kCidDc, params_cid2(set), Counted::nothing, 0, {.fixed = 2 * v + 1 + 102},
             "2 DC limits, 51 user parameters of 2 bytes"});
        if (general) add({Answer::model, kCidAc, kCid2Model, Counted::nothing, 0, {.fixed = 20}, "the model text, 20 bytes"});
    }
    constexpr const Command* begin() const { return commands_.data(); }
    constexpr const Command* end() const { return commands_.data() + size_; }
    // The command (cid1, cid2) of this set; nullptr for one it does not know.
    constexpr const Command* find(uint8_t cid1, uint8_t cid2) const {
        const Command* c = std::find_if(begin(), end(), [&](const Command& x) { return x.cid1 == cid1 && x.cid2 == cid2; });
        return c == end() ? nullptr : c;
    }

private:
    constexpr void add(const Command& c) { commands_[size_++] = c; }
    std::array<Command, 11> commands_{};
    size_t size_ = 0;
};

inline constexpr CommandList kVokaSet{CommandSet::voka};
inline constexpr CommandList kGeneralSet{CommandSet::general};
constexpr const CommandList& commands(CommandSet set) { return set == CommandSet::general ? kGeneralSet : kVokaSet; }

// Time on the wire: 8N1, ten bits a byte.
inline constexpr int kBitsPerByte = 10;
// One byte's time at `baud_rate`, as the line and the simulator pace bytes.
constexpr std::chrono::nanoseconds byte_time(int baud_rate) {
    return std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000LL / std::max(baud_rate, 1));
}
// A whole frame, SOI to EOI, for `info_bytes` of INFO.
constexpr size_t frame_bytes(size_t info_bytes) { return 1 + frame::kMinChars + 2 * info_bytes + 1; }
// Milliseconds `bytes` take at `baud_rate`, rounded up.
constexpr int wire_ms(size_t bytes, int baud_rate) {
    return static_cast<int>((static_cast<long long>(bytes) * kBitsPerByte * 1000 + baud_rate - 1) / baud_rate);
}

}  // namespace protocol
