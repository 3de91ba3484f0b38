#pragma once
// The "voka" power-system master: the VOKA equipment's own polling cycle with
// fixed-point analog (0x42) and parameter (0x47) commands and a zero INFO byte.
//
// Configuration note: the AC analog answer is walked from its unit-count byte,
// so the first AC device reads the unit count as its channel count.
#include "ac/voka_ac.h"
#include "dc/voka_dc.h"
#include "power/pmbus_power.h"
#include "rc/voka_rc.h"

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
