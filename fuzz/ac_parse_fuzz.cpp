// Drives AC devices through arbitrary sequences of answers: every parse
// operation of the fixed-point device and of the general float-form template,
// and stored-image reloads, with state carried from call to call.
#include <cstdint>
#include <iostream>
#include <memory>

#include "plugin/ac/voka_ac.h"
#include "fuzz/call_sequence.h"

namespace {

using WideHeader = tele_c_pmbuspower_ac<2, 1>;
using WideChannel = tele_c_pmbuspower_ac_channel<2, 10>;
struct FloatAc final : PMBusPowerAC<WideHeader, WideChannel, 5188> {
    void DoImpCheckAlert() override {}
};

template <class Device>
void apply(Device& dev, uint8_t op, const uint8_t* payload, int len) {
    switch (op % 5) {
        case 0: dev.parse40_41(payload, len); break;
        case 1: dev.parse40_43(payload, len); break;
        case 2: dev.parse40_44(payload, len); break;
        case 3: dev.LoadFromCache(payload, len); break;
        default:
            // A lookup must never fail other than by its refusals.
            try {
                dev.Get_Value(0, "channel_1_a");
            } catch (const std::out_of_range&) {
            }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        std::cout.setstate(std::ios::failbit);  // the float form prints a line per channel
        return true;
    }();
    (void)quiet;
    auto fixed = std::make_shared<VOKA_AC>();
    auto floats = std::make_shared<FloatAc>();
    for_each_call(data, size, [&](uint8_t selector, const uint8_t* payload, int len) {
        if (selector & 0x80)
            apply(*floats, selector, payload, len);
        else
            apply(*fixed, selector, payload, len);
    });
    return 0;
}
