#pragma once
// The VOKA power system's rectifier device ("voka-rc").
#include "plugin/rc/pmbus_power_rc.h"
#include "plugin/rc/rc_record.h"

inline constexpr int kVokaRcRecordType = 5190;

class VOKA_RC final : public PMBusPowerRC<tele_c_voka_rc, tele_c_voka_rc_channel, kVokaRcRecordType> {
public:
    VOKA_RC();
    ~VOKA_RC() override;

    // The VOKA equipment sends these answers as 16-bit fixed point.
    int parse41_41(const uint8_t* payload, int len) override;
    int parse40_46(const uint8_t* payload, int len) override;
    int parse42_46(const uint8_t* payload, int len) override;
    // The VOKA device adds no rules of its own.
    void DoImpCheckAlert() override;
};
