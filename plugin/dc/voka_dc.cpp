#include "plugin/dc/voka_dc.h"

VOKA_DC::VOKA_DC() { device_type = "voka-dc"; }

VOKA_DC::VOKA_DC(const std::string& model_text) : PMBusPowerDC(model_text) { device_type = "voka-dc"; }

VOKA_DC::~VOKA_DC() = default;

// Tenths, most significant byte first; the DC analog answer has no "missing"
// mark: every value is taken at its number.
int VOKA_DC::parse42_41(const uint8_t* data, int len) {
    return parse_analog(data, len, 2, wire::read_tenths_be, wire::read_tenths_be);
}

void VOKA_DC::DoImpCheckAlert() {}
