#pragma once
// The AC device's alarm conditions: eleven per channel entry, nine for the
// phase currents. A condition holds when its alarm state byte, as the
// equipment reported it, equals the rule's value (1 too low, 2 too high,
// 3 missing); any other byte makes no rule hold.
#include <array>
#include <cstdint>

namespace ac_rules {

enum class ChannelField : uint8_t { a, b, c, f };
enum class Phase : uint8_t { a, b, c };

struct ChannelRule {
    const char* id;
    int grade;
    const char* code;
    const char* name;
    const char* label;  // follows "交流屏" and the panel number in the text
    ChannelField field;
    uint8_t holds_when;
};

struct CurrentRule {
    const char* id;
    int grade;
    const char* code;
    const char* name;
    Phase phase;
    uint8_t holds_when;
};

inline constexpr const char* kPanelPrefix = "交流屏";
inline constexpr const char* kCurrentText = "其他告警";

inline constexpr const char* kLow = "交流输入电压过低告警";
inline constexpr const char* kHigh = "交流输入电压过高告警";
inline constexpr const char* kPhaseLoss = "交流输入缺相告警";
inline constexpr const char* kAB = "输入线/相电压AB/A";
inline constexpr const char* kBC = "输入线/相电压BC/B";
inline constexpr const char* kCA = "输入线/相电压CA/C";

inline constexpr std::array<ChannelRule, 11> kChannelRules = {{
    {"AC_0", 3, "06015", kLow, kAB, ChannelField::a, 1},
    {"AC_1", 3, "06015", kLow, kBC, ChannelField::b, 1},
    {"AC_2", 3, "06015", kLow, kCA, ChannelField::c, 1},
    {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", ChannelField::f, 1},
    {"AC_4", 2, "06014", kHigh, kAB, ChannelField::a, 2},
    {"AC_5", 2, "06014", kHigh, kBC, ChannelField::b, 2},
    {"AC_6", 2, "06014", kHigh, kCA, ChannelField::c, 2},
    {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", ChannelField::f, 2},
    {"AC_8", 2, "06017", kPhaseLoss, kAB, ChannelField::a, 3},
    {"AC_9", 2, "06017", kPhaseLoss, kBC, ChannelField::b, 3},
    {"AC_10", 2, "06017", kPhaseLoss, kCA, ChannelField::c, 3},
}};

// There is no AC_11.
inline constexpr std::array<CurrentRule, 9> kCurrentRules = {{
    {"AC_12", 3, "06029", "A相输入电流低于下限", Phase::a, 1},
    {"AC_13", 3, "06029", "B相输入电流低于下限", Phase::b, 1},
    {"AC_14", 3, "06029", "C相输入电流低于下限", Phase::c, 1},
    {"AC_15", 3, "06029", "A相输入电流高于上限", Phase::a, 2},
    {"AC_16", 3, "06029", "B相输入电流高于上限", Phase::b, 2},
    {"AC_17", 3, "06029", "C相输入电流高于上限", Phase::c, 2},
    {"AC_18", 3, "06029", "A相输入电流缺项", Phase::a, 3},
    {"AC_19", 3, "06029", "B相输入电流缺项", Phase::b, 3},
    {"AC_20", 3, "06029", "C相输入电流缺项", Phase::c, 3},
}};

}  // namespace ac_rules
