#include "plugin/rc/voka_rc.h"

#include "plugin/shared/wire_values.h"

namespace {

// Tenths; only the user-defined analog value has a missing-value marker, and
// the AC parameters come low byte first.
using wire::tenths_be;
using wire::tenths_le;
float user_tenths(std::array<uint8_t, 2> raw) {
    return wire::is_user_value_marker(raw) ? wire::kMissingUserValue : tenths_be(raw);
}

}  // namespace

VOKA_RC::VOKA_RC() { device_type = "voka-rc"; }

VOKA_RC::~VOKA_RC() = default;

int VOKA_RC::parse41_41(const uint8_t* payload, int len) {
    return parse_analog<2>(payload, len, tenths_be, user_tenths);
}

int VOKA_RC::parse40_46(const uint8_t* payload, int len) { return parse_ac_params<2>(payload, len, tenths_le); }

// The whole user-defined block must be there: the equipment always sends all of it.
int VOKA_RC::parse42_46(const uint8_t* payload, int len) {
    return parse_dc_params<2>(payload, len, tenths_be, UserBlock::whole);
}

void VOKA_RC::DoImpCheckAlert() {}
