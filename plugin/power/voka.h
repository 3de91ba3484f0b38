#pragma once
// The "voka" power-system master: the VOKA equipment's own polling cycle with
// fixed-point analog (0x42) and parameter (0x47) commands and a zero INFO byte.
//
// Required, not a slip: the AC analog answer is walked from its unit-count
// byte, so the first AC device reads the AC unit count as its channel count.
// A site therefore gives its first AC unit as many channels as it has units.
#include "plugin/ac/voka_ac.h"
#include "plugin/dc/voka_dc.h"
#include "plugin/power/pmbus_power.h"
#include "plugin/rc/voka_rc.h"

class VOKA final : public PMBusPower<VOKA_AC, VOKA_DC, VOKA_RC> {
public:
    VOKA();
    ~VOKA() override;
    bool RefreshStatus() override;
    int process_payload() override;

    uint8_t group_byte = 0;

private:
    PollingCycle cycle() const;
};
