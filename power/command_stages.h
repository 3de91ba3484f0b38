#pragma once
// The command stages of a polling round and the command each cycle sends for
// them. `cmd_stage` holds one of these stage numbers.
#include <array>
#include <cstdint>
#include <optional>

namespace stage {
inline constexpr int kAcAnalog = 0;
inline constexpr int kAcSwitch = 1;
inline constexpr int kAcAlarm = 2;
inline constexpr int kAcParams = 3;
inline constexpr int kRcAnalog = 4;
inline constexpr int kRcSwitch = 5;
inline constexpr int kRcAlarm = 6;
inline constexpr int kDcAnalog = 7;
inline constexpr int kDcAlarm = 8;
inline constexpr int kDcParams = 9;
inline constexpr int kModel = 14;
inline constexpr int kCount = 15;
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

inline constexpr uint8_t kCidAc = 0x40;
inline constexpr uint8_t kCidRectifier = 0x41;
inline constexpr uint8_t kCidDc = 0x42;

// The "voka" cycle: fixed-point analog (0x42) and parameter (0x47) commands.
inline constexpr CommandTable kVokaCommands = [] {
    CommandTable t{};
    t[stage::kAcAnalog] = StageCommand{kCidAc, 0x42, CommandInfo::group};
    t[stage::kAcSwitch] = StageCommand{kCidAc, 0x43, CommandInfo::group};
    t[stage::kAcAlarm] = StageCommand{kCidAc, 0x44, CommandInfo::group};
    t[stage::kAcParams] = StageCommand{kCidAc, 0x47, CommandInfo::none};
    t[stage::kRcAnalog] = StageCommand{kCidRectifier, 0x42, CommandInfo::none};
    t[stage::kRcSwitch] = StageCommand{kCidRectifier, 0x43, CommandInfo::none};
    t[stage::kRcAlarm] = StageCommand{kCidRectifier, 0x44, CommandInfo::none};
    t[stage::kDcAnalog] = StageCommand{kCidDc, 0x42, CommandInfo::group_if_v21};
    t[stage::kDcAlarm] = StageCommand{kCidDc, 0x44, CommandInfo::group_if_v21};
    t[stage::kDcParams] = StageCommand{kCidDc, 0x47, CommandInfo::none};
    return t;
}();

// The general cycle: float analog (0x41) and parameter (0x46) commands, and
// the device-model query.
inline constexpr CommandTable kGeneralCommands = [] {
    CommandTable t{};
    t[stage::kAcAnalog] = StageCommand{kCidAc, 0x41, CommandInfo::group};
    t[stage::kAcSwitch] = StageCommand{kCidAc, 0x43, CommandInfo::group};
    t[stage::kAcAlarm] = StageCommand{kCidAc, 0x44, CommandInfo::group};
    t[stage::kAcParams] = StageCommand{kCidAc, 0x46, CommandInfo::none};
    t[stage::kRcAnalog] = StageCommand{kCidRectifier, 0x41, CommandInfo::none};
    t[stage::kRcSwitch] = StageCommand{kCidRectifier, 0x43, CommandInfo::none};
    t[stage::kRcAlarm] = StageCommand{kCidRectifier, 0x44, CommandInfo::none};
    t[stage::kDcAnalog] = StageCommand{kCidDc, 0x41, CommandInfo::group_if_v21};
    t[stage::kDcAlarm] = StageCommand{kCidDc, 0x44, CommandInfo::group_if_v21};
    t[stage::kDcParams] = StageCommand{kCidDc, 0x46, CommandInfo::none};
    t[stage::kModel] = StageCommand{kCidAc, 0x51, CommandInfo::none};
    return t;
}();

// DATAFLAG bits of an analog answer.
inline constexpr uint8_t kFlagSwitchStates = 0x10;
inline constexpr uint8_t kFlagAlarms = 0x01;
