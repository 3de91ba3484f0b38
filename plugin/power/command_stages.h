#pragma once
// The command stages of a polling round and the command each cycle sends for
// them. `cmd_stage` holds one of these stage numbers.
#include <array>
#include <cstdint>
#include <optional>

#include "protocol/commands.h"

namespace stage {
// The stage numbers; 10 to 13 are unused.
enum : int {
    kAcAnalog, kAcSwitch, kAcAlarm, kAcParams, kRcAnalog, kRcSwitch, kRcAlarm, kDcAnalog, kDcAlarm, kDcParams,
    kModel = 14, kCount
};
}  // namespace stage

// Which INFO a command carries.
enum class CommandInfo : uint8_t {
    none,           // empty INFO
    group,          // the cycle's one group byte
    group_if_v21,   // the group byte only when protocol_ver is 0x21
};

struct StageCommand {
    uint8_t cid1;
    uint8_t cid2;
    CommandInfo info;
};

using CommandTable = std::array<std::optional<StageCommand>, stage::kCount>;

using protocol::kCidAc;
using protocol::kCidDc;
using protocol::kCidRectifier;
using protocol::kFlagAlarms;
using protocol::kFlagSwitchStates;

// A cycle's commands: the "voka" one with fixed-point analog (0x42) and
// parameter (0x47) commands, the general one with float analog (0x41) and
// parameter (0x46) commands and the device-model query.
constexpr CommandTable stage_commands(protocol::CommandSet set) {
    using namespace protocol;
    const uint8_t analog = analog_cid2(set), params = params_cid2(set);
    CommandTable t{};
    t[stage::kAcAnalog] = StageCommand{kCidAc, analog, CommandInfo::group};
    t[stage::kAcSwitch] = StageCommand{kCidAc, kCid2SwitchStates, CommandInfo::group};
    t[stage::kAcAlarm] = StageCommand{kCidAc, kCid2Alarms, CommandInfo::group};
    t[stage::kAcParams] = StageCommand{kCidAc, params, CommandInfo::none};
    t[stage::kRcAnalog] = StageCommand{kCidRectifier, analog, CommandInfo::none};
    t[stage::kRcSwitch] = StageCommand{kCidRectifier, kCid2SwitchStates, CommandInfo::none};
    t[stage::kRcAlarm] = StageCommand{kCidRectifier, kCid2Alarms, CommandInfo::none};
    t[stage::kDcAnalog] = StageCommand{kCidDc, analog, CommandInfo::group_if_v21};
    t[stage::kDcAlarm] = StageCommand{kCidDc, kCid2Alarms, CommandInfo::group_if_v21};
    t[stage::kDcParams] = StageCommand{kCidDc, params, CommandInfo::none};
    if (set == CommandSet::general) t[stage::kModel] = StageCommand{kCidAc, kCid2Model, CommandInfo::none};
    return t;
}
inline constexpr CommandTable kVokaCommands = stage_commands(protocol::CommandSet::voka);
inline constexpr CommandTable kGeneralCommands = stage_commands(protocol::CommandSet::general);
