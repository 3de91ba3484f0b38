// Drives one rectifier device per input through a sequence of answers and
// stored images. Byte 0 picks the device: even, the VOKA device (its base
// forms reached by qualified calls); odd, a record type with other sizes. The
// rest is a call sequence (fuzz/call_sequence.h) whose selector picks the
// operation. After every call the device must still be consistent.
#include <algorithm>  // before call_sequence.h, which uses std::copy_n without it
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/call_sequence.h"
#include "fuzz/quiet_controller.h"
#include "host/core/log_format.h"
#include "plugin/rc/voka_rc.h"

namespace {

using VokaBase = PMBusPowerRC<tele_c_voka_rc, tele_c_voka_rc_channel, kVokaRcRecordType>;
using OtherRC = PMBusPowerRC<tele_c_pmbuspower_rc<3, 8>, tele_c_pmbuspower_rc_channel<2, 2, 1>, 4242>;

// Fills every message as the host would; records nothing else.
class FormattingController final : public QuietController {
public:
    void log_message(const char* fmt, const std::vector<std::string>& args) override {
        if (format_log_message(fmt, args).empty()) std::abort();
    }
};

// What holds after any call. `bounded`: the operation never reports more
// bytes than it was given (the parameter answers may, to step over values).
template <class Device>
void check(const Device& dev, int result, int len, bool bounded) {
    if (result < -1) std::abort();
    if (bounded && result > (len > 0 ? len : 0)) std::abort();
    if (dev.modules().size() != dev.record().channel_count) std::abort();
    if (dev.channel_count_fixed() && dev.modules().empty()) std::abort();
}

template <class Device>
void serves_no_key(const Device& dev) {
    try {
        (void)dev.Get_Value(0, "x");
    } catch (const std::out_of_range&) {
        return;
    }
    std::abort();
}

void run_voka(const uint8_t* data, size_t size, const std::shared_ptr<ZTXController>& controller) {
    auto dev = std::make_shared<VOKA_RC>();
    dev->controller = controller;
    dev->data_id = 1;
    for_each_call(data, size, [&](uint8_t selector, const uint8_t* p, int len) {
        int result = 0;
        bool bounded = true;
        switch (selector % 9) {
            case 0: result = dev->parse41_41(p, len); break;
            case 1: result = dev->parse41_43(p, len); break;
            case 2: result = dev->parse41_44(p, len); break;
            case 3: result = dev->parse40_46(p, len); bounded = false; break;
            case 4: result = dev->parse42_46(p, len); bounded = false; break;
            case 5: result = dev->VokaBase::parse41_41(p, len); break;
            case 6: result = dev->VokaBase::parse40_46(p, len); bounded = false; break;
            case 7: result = dev->VokaBase::parse42_46(p, len); bounded = false; break;
            default: result = dev->LoadFromCache(p, len); break;
        }
        check(*dev, result, len, bounded);
    });
    serves_no_key(*dev);
}

void run_other(const uint8_t* data, size_t size, const std::shared_ptr<ZTXController>& controller) {
    auto dev = std::make_shared<OtherRC>();
    dev->controller = controller;
    dev->data_id = 2;
    for_each_call(data, size, [&](uint8_t selector, const uint8_t* p, int len) {
        int result = 0;
        bool bounded = true;
        switch (selector % 6) {
            case 0: result = dev->parse41_41(p, len); break;
            case 1: result = dev->parse41_43(p, len); break;
            case 2: result = dev->parse41_44(p, len); break;
            case 3: result = dev->parse40_46(p, len); bounded = false; break;
            case 4: result = dev->parse42_46(p, len); bounded = false; break;
            default: result = dev->LoadFromCache(p, len); break;
        }
        check(*dev, result, len, bounded);
    });
    serves_no_key(*dev);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reloads write a diagnostic line each; keep the fuzzer's output readable.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto controller = std::make_shared<FormattingController>();
    if (data[0] % 2 == 0)
        run_voka(data + 1, size - 1, controller);
    else
        run_other(data + 1, size - 1, controller);
    return 0;
}
