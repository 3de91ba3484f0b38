#pragma once
// Every text the devices log, in one place. FIXED: each is emitted byte for
// byte as the equipment's log readers expect it, misspellings, the wrong
// class names ("PMBusPowerAC" in DC and rectifier messages, "RQX24B"), the
// doubled blank and the trailing blank included. Do not correct them; add new
// texts only for new situations. "{}" marks are filled in order, data id first.
namespace log_text {

// Master
inline constexpr const char* kBadDataId = "PMBusPower:ProcotolError {} {}[{}] data_id is not an unsigned number, using 0";
inline constexpr const char* kAcUnitCount = "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}";
inline constexpr const char* kDcUnitCount = "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}";
inline constexpr const char* kWalk40_41 = "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary";
inline constexpr const char* kWalk40_43 = "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary";
inline constexpr const char* kWalk41_41 = "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";
inline constexpr const char* kWalk41_43 = "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary";
inline constexpr const char* kWalk41_44 = "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary";
inline constexpr const char* kWalk42_41 = "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary";
inline constexpr const char* kWalk42_44 = "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary";
// Both parameter answers log the 40_46 text.
inline constexpr const char* kWalkParams = "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary";

// AC device
inline constexpr const char* k40_41Overflow = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
inline constexpr const char* k40_43Overflow = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
inline constexpr const char* k40_44Overflow = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
inline constexpr const char* k40_41UserCount = "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}";
// Its printf-style marks are passed unfilled.
inline constexpr const char* k40_43AirlockCount = "ProcotolError %u read 40_43 m is %d max %d";
inline constexpr const char* k40_43UserCount = "PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}";
inline constexpr const char* k40_44ExtraCount = "PMBusPowerAC:ProcotolError {} read 40_44 m is {}";
inline constexpr const char* k40_44UserCount = "PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}";
inline constexpr const char* k40_41CountChanged = "PMBusPowerAC:ProcotolError {} read 40_41 channel count is now {}, was {}";

// DC device
inline constexpr const char* k42_41Overflow = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
inline constexpr const char* k42_44Overflow = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
inline constexpr const char* kDcM = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
inline constexpr const char* kDcN = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
inline constexpr const char* kDcUserCount =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
inline constexpr const char* kDcAlertP = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";

// Rectifier device
inline constexpr const char* k41_41Overflow = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
inline constexpr const char* k41_41ModuleOverflow = "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
inline constexpr const char* k41_43Overflow = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
inline constexpr const char* k41_44Overflow = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
inline constexpr const char* k40_46Overflow = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
inline constexpr const char* k42_46Overflow = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";
inline constexpr const char* k41_41UserCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
inline constexpr const char* k41_43UserCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
inline constexpr const char* k41_44ModuleCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ";
inline constexpr const char* k41_44UserCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
inline constexpr const char* k42_46UserCount = "RQX24B:ProcotolError parse42_46 {} p:{} != {}";
inline constexpr const char* k41_41CountChanged =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 module count is now {}, was {}";

// Any child device
inline constexpr const char* kNotShared = "ZTXVDevice:ProcotolError {} device not shared, round not stored";

}  // namespace log_text
