#include "plugin/ac/voka_ac.h"

#include "plugin/shared/byte_reader.h"
#include "plugin/shared/wire_values.h"

// The VOKA equipment sends no user-defined analog values it expects stored.
static_assert(tele_c_voka_ac_channel::P40_41_SIZE() == 0);

VOKA_AC::VOKA_AC() { device_type = "voka-ac"; }

VOKA_AC::~VOKA_AC() = default;

namespace {

// Scales of the fixed-point fields.
constexpr float kVoltsPerUnit = 1.0f;
constexpr float kFrequencyDivisor = 100.0f;
constexpr float kCurrentDivisor = wire::kTenths;

}  // namespace

// Analog values, fixed point (16-bit, most significant byte first):
//   0  M, channel count
//   per channel: +0 a  +2 b  +4 c (volts)  +6 f (1/100 Hz)  +8 p  +9 2p user-defined (skipped)
//   after the channels: +0 ia  +2 ib  +4 ic (1/10 A)
int VOKA_AC::parse40_41(const uint8_t* payload, int len) {
    using log_text::k40_41Overflow;
    constexpr float kMissing = wire::kMissingChannelValue;
    return read_analog(payload, len, [&](std::vector<tele_c_voka_ac_channel>& list, tele_c_voka_ac& header,
                                         ByteReader& r) {
        for (tele_c_voka_ac_channel& ch : list) {
            auto a = wire::read_fixed_point(r, kVoltsPerUnit, kMissing);
            if (!a) return overflow(k40_41Overflow, r, len);
            ch.a = *a;
            auto b = wire::read_fixed_point(r, kVoltsPerUnit, kMissing);
            if (!b) return overflow(k40_41Overflow, r, len);
            ch.b = *b;
            auto c = wire::read_fixed_point(r, kVoltsPerUnit, kMissing);
            if (!c) return overflow(k40_41Overflow, r, len);
            ch.c = *c;
            auto f = wire::read_fixed_point(r, kFrequencyDivisor, kMissing);
            if (!f) return overflow(k40_41Overflow, r, len);
            ch.f = *f;
            const auto p = r.u8();
            if (!p) return overflow(k40_41Overflow, r, len);
            ch.p41_count = *p;
            if (!r.skip(2u * *p)) return overflow(k40_41Overflow, r, len);
        }
        auto ia = wire::read_fixed_point(r, kCurrentDivisor, wire::kMissingCurrent);
        if (!ia) return overflow(k40_41Overflow, r, len);
        header.ia = *ia;
        auto ib = wire::read_fixed_point(r, kCurrentDivisor, wire::kMissingCurrent);
        if (!ib) return overflow(k40_41Overflow, r, len);
        header.ib = *ib;
        auto ic = wire::read_fixed_point(r, kCurrentDivisor, wire::kMissingCurrent);
        if (!ic) return overflow(k40_41Overflow, r, len);
        header.ic = *ic;
        return static_cast<int>(r.position());
    });
}

void VOKA_AC::DoImpCheckAlert() {}
