#pragma once
// The VOKA power system's AC distribution device ("voka-ac").
#include "plugin/ac/ac_record.h"
#include "plugin/ac/pmbus_power_ac.h"

inline constexpr int kVokaAcRecordType = 5188;

class VOKA_AC final : public PMBusPowerAC<tele_c_voka_ac, tele_c_voka_ac_channel, kVokaAcRecordType> {
public:
    VOKA_AC();
    ~VOKA_AC() override;

    // The VOKA equipment sends analog values as 16-bit fixed point.
    int parse40_41(const uint8_t* payload, int len) override;
    // The VOKA device adds no rules of its own.
    void DoImpCheckAlert() override;
};
