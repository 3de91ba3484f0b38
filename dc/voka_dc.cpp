#include "dc/voka_dc.h"

#include <optional>

namespace {

// A 16-bit value, most significant byte first, in tenths of its unit. The DC
// analog answer has no "missing" mark: every value is taken at its number.
std::optional<float> read_tenths(ByteReader& r) {
    const auto raw = r.take<2>();
    return raw ? std::optional<float>(static_cast<float>(wire::u16_be(*raw)) / 10.0f) : std::nullopt;
}

}  // namespace

VOKA_DC::VOKA_DC() { device_type = "voka-dc"; }

VOKA_DC::VOKA_DC(const std::string& model_text) : PMBusPowerDC(model_text) { device_type = "voka-dc"; }

VOKA_DC::~VOKA_DC() = default;

int VOKA_DC::parse42_41(const uint8_t* data, int len) { return parse_analog(data, len, 2, read_tenths, read_tenths); }

void VOKA_DC::DoImpCheckAlert() {}
