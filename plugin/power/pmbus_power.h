#pragma once
// The power-system master over its three child device classes: it owns the
// serial conversation, creates the children from its configuration and hands
// each answer's INFO bytes to the children that own them.
//
// This template carries the general polling cycle (float commands, a group
// INFO byte, a device-model check at start-up, resumable rounds); a final
// master class may replace it with its own.
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "plugin/shared/log_texts.h"
#include "host/interface/pmbus_protocol.h"
#include "plugin/power/command_stages.h"
#include "plugin/power/decoded_answer.h"

// How one polling cycle differs from another: its commands and the few rules
// in which the "voka" cycle and the general cycle part ways.
struct PollingCycle {
    const CommandTable* commands;
    const uint8_t* group;             // the INFO byte of commands that carry one
    long long ac_walk_start;          // INFO offset where the AC walks begin
    bool skip_empty_switch_walk;      // AC switch states: no walk when nothing follows the unit count
    bool dc_start_follows_units;      // DC analog: four or more units start at the unit count byte
    bool rectifier_may_end_round;     // no DC children: the rectifier stages end the round
    bool restart_stage_at_end;        // cmd_stage back to 0 when a round ends
};

template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
public:
    explicit PMBusPower(std::vector<std::string> models) : supported_models(std::move(models)) {}

    // Slot order is fixed by the host; do not reorder.
    bool LoadFromCache(const uint8_t*, int) override { return true; }  // the master keeps no record
    ~PMBusPower() override = default;
    bool InitSetting(const Json::Value& cfg) override;
    std::shared_ptr<ZTXVDevice> GetChildVDevice(unsigned id) override;
    std::vector<std::shared_ptr<ZTXVDevice>> GetAllChildVDevices() override;
    bool RefreshStatus() override;
    int process_payload() override;

    static constexpr uint8_t commandGroup_ = 0xFF;

    std::vector<std::shared_ptr<AC>> ac_devices;
    std::vector<std::shared_ptr<DC>> dc_devices;
    std::shared_ptr<RC> rc_device;
    uint8_t ac_dataflag = 0;
    uint8_t rc_dataflag = 0;
    bool model_check_due = true;
    std::string model;
    std::vector<std::string> supported_models;
    // The general cycle's pause before it handles an answer (the equipment
    // needs it); tests and fuzzing may shorten it.
    unsigned answer_pause_us = 20000;

protected:
    // Whole seconds since the master's last_update; nothing when it was never set.
    std::optional<int64_t> seconds_since_update() const;
    // The general cycle's rules.
    static constexpr PollingCycle kGeneralCycle{
        .commands = &kGeneralCommands,
        .group = &commandGroup_,
        .ac_walk_start = 2,  // AC walks begin after the unit count byte
        .skip_empty_switch_walk = true,
        .dc_start_follows_units = true,
        .rectifier_may_end_round = true,
        .restart_stage_at_end = true,
    };

    // Sets cmd_stage and sends that stage's command of the cycle.
    void send_stage(int next, const PollingCycle& cycle);
    // Starts a round: AC analog values, or rectifier analog values without AC children.
    void start_round(const PollingCycle& cycle) {
        send_stage(ac_devices.empty() ? stage::kRcAnalog : stage::kAcAnalog, cycle);
    }
    // RoundDone on every AC child, every DC child, then the rectifier; Reset(). 0.
    int end_round(const PollingCycle& cycle);
    // Checks one answer against the outstanding stage, hands its INFO to the
    // children and sends the next command. 0 after Reset(), else 1.
    int handle_answer(const DecodedAnswer& answer, const PollingCycle& cycle);
    // Hands each child of `children` its share of INFO from `start` on.
    // Returns the INFO offset reached (the consumed amount), or nothing when a
    // child refused the answer.
    template <class Child, class Parse>
    std::optional<long long> walk(const std::vector<std::shared_ptr<Child>>& children, const DecodedAnswer& answer,
                                  long long start, Parse parse);
    // Ends the exchange for an answer that cannot be handled at all.
    int drop_with_reset() {
        Reset();
        return 0;
    }
    // Reads the configured data id of one "acSetting"/"dcSetting" element.
    unsigned configured_id(const Json::Value& element, const char* list, unsigned index);

private:
    int check_model(const DecodedAnswer& answer);
};

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& cfg) {
    if (!PMBusProtocol::InitSetting(cfg)) return false;
    // A configuration that is not an object holds no children and no rectifier.
    if (cfg.type() != Json::objectValue) return false;

    const Json::Value& ac = cfg["acSetting"];
    if (ac.isArray()) {
        for (Json::ArrayIndex i = 0; i < ac.size(); ++i) {
            auto child = std::make_shared<AC>();
            child->InitV(this, configured_id(ac[i], "acSetting", i), ac[i]);
            ac_devices.push_back(std::move(child));
        }
    }
    const Json::Value& dc = cfg["dcSetting"];
    if (dc.isArray()) {
        for (Json::ArrayIndex i = 0; i < dc.size(); ++i) {
            auto child = std::make_shared<DC>(model);
            child->InitV(this, configured_id(dc[i], "dcSetting", i), dc[i]);
            dc_devices.push_back(std::move(child));
        }
    }
    const Json::Value& rc = cfg["rcSetting"];
    if (rc == Json::Value()) return false;
    rc_device = std::make_shared<RC>();
    rc_device->InitV(this, data_id, rc);
    return true;
}

template <class AC, class DC, class RC>
unsigned PMBusPower<AC, DC, RC>::configured_id(const Json::Value& element, const char* list, unsigned index) {
    if (element.type() == Json::objectValue) {
        const Json::Value& id = element["data_id"];
        if (id.isNull()) return 0;
        if (id.isUInt()) return id.asUInt();
    }
    InfoLog(log_text::kBadDataId, data_id, list, index);
    return 0;
}

template <class AC, class DC, class RC>
std::shared_ptr<ZTXVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned id) {
    for (const auto& ac : ac_devices)
        if (ac->DataId() == id) return ac;
    for (const auto& dc : dc_devices)
        if (dc->DataId() == id) return dc;
    return {};
}

template <class AC, class DC, class RC>
std::vector<std::shared_ptr<ZTXVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
    std::vector<std::shared_ptr<ZTXVDevice>> all(ac_devices.begin(), ac_devices.end());
    all.insert(all.end(), dc_devices.begin(), dc_devices.end());
    if (rc_device) all.push_back(rc_device);  // never hand the host an empty pointer
    return all;
}

template <class AC, class DC, class RC>
std::optional<int64_t> PMBusPower<AC, DC, RC>::seconds_since_update() const {
    if (last_update.is_special()) return std::nullopt;
    return (boost::posix_time::second_clock::local_time() - last_update).total_seconds();
}

template <class AC, class DC, class RC>
void PMBusPower<AC, DC, RC>::send_stage(int next, const PollingCycle& cycle) {
    cmd_stage = next;
    const auto& command = (*cycle.commands)[static_cast<size_t>(next)];
    if (!command) return;
    const bool with_info = command->info == CommandInfo::group ||
                           (command->info == CommandInfo::group_if_v21 && protocol_ver == 0x21);
    if (with_info)
        write_pmbus_cmd(command->cid1, command->cid2, cycle.group, 1);
    else
        write_pmbus_cmd(command->cid1, command->cid2);
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::end_round(const PollingCycle& cycle) {
    for (const auto& ac : ac_devices) ac->RoundDone();
    for (const auto& dc : dc_devices) dc->RoundDone();
    rc_device->RoundDone();
    if (cycle.restart_stage_at_end) cmd_stage = 0;
    Reset();
    return 0;
}

template <class AC, class DC, class RC>
template <class Child, class Parse>
std::optional<long long> PMBusPower<AC, DC, RC>::walk(const std::vector<std::shared_ptr<Child>>& children,
                                                      const DecodedAnswer& answer, long long start, Parse parse) {
    long long offset = start;
    for (const auto& child : children) {
        const auto share = answer.share_from(offset);
        const int used = parse(*child, share.data, share.len);
        if (used < 0) return std::nullopt;
        offset += used;
    }
    return offset;
}

// ---- the general cycle ----

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
    if (!rc_device) return false;  // not configured: the round needs the rectifier
    if (!ZTXSPDevice::RefreshStatus()) return false;
    const auto age = seconds_since_update();
    if (age && *age < 2 && !model_check_due) {
        sp_state = 0;
        return false;
    }
    if (model_check_due) {
        send_stage(stage::kModel, kGeneralCycle);
        return true;
    }
    switch (cmd_stage) {
        case stage::kAcSwitch:
        case stage::kAcAlarm:
        case stage::kRcAnalog:
        case stage::kRcSwitch:
        case stage::kRcAlarm:
        case stage::kDcAnalog:
        case stage::kDcAlarm:
            // Resume the round at the command that is still outstanding.
            send_stage(cmd_stage, kGeneralCycle);
            return true;
        default:
            // Stage 0, or a round stuck where re-sending cannot help: start over.
            start_round(kGeneralCycle);
            return true;
    }
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::process_payload() {
    usleep(answer_pause_us);
    if (!rc_device) return drop_with_reset();
    const DecodedAnswer answer(rx_frame);
    if (cmd_stage == stage::kModel) return check_model(answer);
    return handle_answer(answer, kGeneralCycle);
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::check_model(const DecodedAnswer& answer) {
    if (answer.cid1() != kCidAc) return 1;
    model.clear();
    for (int i = 0; i < 20; ++i) {
        const auto b = answer.info_byte(i);
        if (!b) break;
        model.push_back(static_cast<char>(*b));
    }
    bool supported = false;
    for (const auto& m : supported_models) supported = supported || m == model;
    if (!supported)
        CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                           "本驱动类型:" + device_type + " 检测型号:" + model, true, 0);
    model_check_due = false;
    start_round(kGeneralCycle);
    return 1;
}

template <class AC, class DC, class RC>
int PMBusPower<AC, DC, RC>::handle_answer(const DecodedAnswer& answer, const PollingCycle& cycle) {
    // Required: the master never sets its own data_valid, so every round also
    // takes the switch-state and alarm commands whatever the DATAFLAG says.
    const int L = answer.info_len();
    const auto next = [&](int s) {
        send_stage(s, cycle);
        return 1;
    };
    // After the rectifier stages: the DC stages, or the end of the round when
    // the cycle lets a round without DC children end there.
    const auto after_rectifier = [&] {
        return cycle.rectifier_may_end_round && dc_devices.empty() ? end_round(cycle) : next(stage::kDcAnalog);
    };

    switch (cmd_stage) {
        case stage::kAcAnalog: {
            if (answer.cid1() != kCidAc) return drop_with_reset();
            const auto flag = answer.dataflag();
            const auto units = answer.unit_count();
            if (!flag || !units) return drop_with_reset();
            ac_dataflag = *flag;
            if (*units != ac_devices.size()) {
                InfoLog(log_text::kAcUnitCount, data_id,
                        *units, ac_devices.size());
                return drop_with_reset();
            }
            const auto used = walk(ac_devices, answer, cycle.ac_walk_start, [](AC& c, const uint8_t* p, int n) { return c.parse40_41(p, n); });
            if (!used) return 1;
            if (*used != L) {
                InfoLog(log_text::kWalk40_41, data_id);
                return 1;
            }
            if (!data_valid || (ac_dataflag & kFlagSwitchStates)) return next(stage::kAcSwitch);
            return next((ac_dataflag & kFlagAlarms) ? stage::kAcAlarm : stage::kRcAnalog);
        }
        case stage::kAcSwitch: {
            if (answer.cid1() != kCidAc) return 1;
            if (!cycle.skip_empty_switch_walk || L - cycle.ac_walk_start > 0) {
                const auto used = walk(ac_devices, answer, cycle.ac_walk_start, [](AC& c, const uint8_t* p, int n) { return c.parse40_43(p, n); });
                if (!used) return 1;
                if (*used != L) {
                    InfoLog(log_text::kWalk40_43, data_id);
                    return 1;
                }
            }
            return next(!data_valid || (ac_dataflag & kFlagAlarms) ? stage::kAcAlarm : stage::kRcAnalog);
        }
        case stage::kAcAlarm: {
            if (answer.cid1() != kCidAc) return 1;
            const auto used = walk(ac_devices, answer, cycle.ac_walk_start, [](AC& c, const uint8_t* p, int n) { return c.parse40_44(p, n); });
            if (!used || *used != L) return 1;
            return next(stage::kRcAnalog);
        }
        case stage::kRcAnalog: {
            if (answer.cid1() != kCidRectifier) return 1;
            const auto flag = answer.dataflag();
            if (!flag) return 1;
            rc_dataflag = *flag;
            const auto share = answer.share_from(0);
            if (rc_device->parse41_41(share.data, share.len) != L) {
                InfoLog(log_text::kWalk41_41, data_id);
                return 1;
            }
            if (!data_valid || (rc_dataflag & kFlagSwitchStates)) return next(stage::kRcSwitch);
            if (rc_dataflag & kFlagAlarms) return next(stage::kRcAlarm);
            return after_rectifier();
        }
        case stage::kRcSwitch: {
            if (answer.cid1() != kCidRectifier) return 1;
            const auto share = answer.share_from(0);
            if (rc_device->parse41_43(share.data, share.len) != L) {
                InfoLog(log_text::kWalk41_43, data_id);
                return 1;
            }
            if (!data_valid || (rc_dataflag & kFlagAlarms)) return next(stage::kRcAlarm);
            return after_rectifier();
        }
        case stage::kRcAlarm: {
            if (answer.cid1() != kCidRectifier) return 1;
            const auto share = answer.share_from(0);
            if (rc_device->parse41_44(share.data, share.len) != L) {
                InfoLog(log_text::kWalk41_44, data_id);
                return 1;
            }
            return after_rectifier();
        }
        case stage::kDcAnalog: {
            if (answer.cid1() != kCidDc) return 1;
            const auto flag = answer.dataflag();
            const auto units = answer.unit_count();
            if (!flag || !units) return 1;
            if (*units != dc_devices.size()) {
                InfoLog(log_text::kDcUnitCount, data_id,
                        *units, dc_devices.size());
                return 1;
            }
            // Four or more units: the general layout starts at the unit count byte.
            const long long start = cycle.dc_start_follows_units && *units > 3 ? 1 : 2;
            const auto used = walk(dc_devices, answer, start, [](DC& c, const uint8_t* p, int n) { return c.parse42_41(p, n); });
            if (!used) return 1;
            if (*used > L) InfoLog(log_text::kWalk42_41, data_id);
            if (!data_valid || (*flag & (kFlagSwitchStates | kFlagAlarms))) return next(stage::kDcAlarm);
            return next(ac_devices.empty() ? stage::kDcParams : stage::kAcParams);
        }
        case stage::kDcAlarm: {
            if (answer.cid1() != kCidDc) return 1;
            const auto units = answer.unit_count();
            if (!units) return 1;
            if (*units != dc_devices.size()) {
                InfoLog(log_text::kDcUnitCount, data_id,
                        *units, dc_devices.size());
                return 1;
            }
            const auto used = walk(dc_devices, answer, 2, [](DC& c, const uint8_t* p, int n) { return c.parse42_44(p, n); });
            if (!used) return 1;
            if (*used > L) InfoLog(log_text::kWalk42_44, data_id);
            return next(ac_devices.empty() ? stage::kDcParams : stage::kAcParams);
        }
        case stage::kAcParams: {
            if (answer.cid1() != kCidAc) return 1;
            const auto share = answer.share_from(0);
            const int used = rc_device->parse40_46(share.data, share.len);
            if (used < 0) return 1;
            if (used > L) InfoLog(log_text::kWalkParams, data_id);
            return next(stage::kDcParams);
        }
        case stage::kDcParams: {
            if (answer.cid1() != kCidDc) return 1;
            const auto share = answer.share_from(0);
            const int used = rc_device->parse42_46(share.data, share.len);
            if (used < 0) return 1;
            if (used > L) InfoLog(log_text::kWalkParams, data_id);
            return end_round(cycle);
        }
        default:
            return 1;
    }
}
