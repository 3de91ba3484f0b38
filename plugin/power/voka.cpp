#include "plugin/power/voka.h"

VOKA::VOKA() : PMBusPower({"voka"}) {
    group_byte = 0;
    device_type = "voka";
    baud_rate = 9600;
    sp_flag = true;
    protocol_ver = 0x20;
}

VOKA::~VOKA() = default;

PollingCycle VOKA::cycle() const {
    return PollingCycle{
        .commands = &kVokaCommands,
        .group = &group_byte,
        .ac_walk_start = 1,                // AC walks begin at the unit count byte
        .skip_empty_switch_walk = false,
        .dc_start_follows_units = false,
        .rectifier_may_end_round = false,  // the DC stages always follow
        .restart_stage_at_end = false,     // the next round overwrites cmd_stage
    };
}

bool VOKA::RefreshStatus() {
    if (!rc_device) return false;  // not configured: the round needs the rectifier
    if (!ZTXSPDevice::RefreshStatus()) return false;
    const auto age = seconds_since_update();
    if (age && *age < 2 && !model_check_due) {
        sp_state = 0;
        return false;
    }
    // Every round starts from the beginning; an interrupted one is not resumed.
    start_round(cycle());
    return true;
}

int VOKA::process_payload() {
    if (!rc_device) return drop_with_reset();
    return handle_answer(DecodedAnswer(rx_frame), cycle());
}
