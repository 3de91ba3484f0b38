#include "ac/voka_ac.h"

VOKA_AC::VOKA_AC() { device_type = "voka-ac"; }

VOKA_AC::~VOKA_AC() = default;

int VOKA_AC::parse40_41(const uint8_t*, int) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 not parsed", data_id);
    return -1;
}

void VOKA_AC::DoImpCheckAlert() {}
