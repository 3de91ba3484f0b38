#pragma once
// The VOKA power system's DC distribution device ("voka-dc").
#include <string>

#include "plugin/dc/dc_record.h"
#include "plugin/dc/pmbus_power_dc.h"

inline constexpr int kVokaDcRecordType = 5189;

class VOKA_DC final : public PMBusPowerDC<tele_c_voka_dc, kVokaDcRecordType> {
public:
    VOKA_DC();
    // `model_text`: the power system's model text, as the master knows it.
    explicit VOKA_DC(const std::string& model_text);
    ~VOKA_DC() override;

    // The VOKA equipment sends analog values as 16-bit fixed point in tenths.
    int parse42_41(const uint8_t* data, int len) override;
    // The VOKA record has no user-defined alarm states: no rules of its own.
    void DoImpCheckAlert() override;
};
