// Drives one new DC device per input through a sequence of answers and
// reloads. The input's first byte picks the device: even, the VOKA one; odd,
// a template instance with room for every optional part. Each call's selector
// picks the operation: 0 the device's analog parser (fixed point on VOKA),
// 1 the template's float analog parser, 2 the alarm parser, 3 a reload.
//
// Besides the sanitizers, each call checks what every caller relies on: a
// result of -1 or at most the bytes handed over, a refusal always logged, log
// arguments that fit their format, and a reload that takes exactly one whole
// record or changes nothing.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/dc/voka_dc.h"
#include "fuzz/call_sequence.h"
#include "fuzz/quiet_controller.h"
#include "tests/support/dc_devices.h"

namespace {

[[noreturn]] void fail() { __builtin_trap(); }

// Keeps the last log line's format and checks each against its arguments.
struct CheckingController final : QuietController {
    void log_message(const char* fmt, const std::vector<std::string>& args) override {
        size_t placeholders = 0;
        for (std::string_view f(fmt); f.find("{}") != std::string_view::npos; f.remove_prefix(f.find("{}") + 2))
            ++placeholders;
        if (placeholders != args.size()) fail();
        last_format = fmt;
        ++logged;
    }

    std::string last_format;
    unsigned logged = 0;
};

template <class Device, class Template>
void drive(const uint8_t* data, size_t size) {
    auto controller = std::make_shared<CheckingController>();
    auto dev = std::make_shared<Device>();
    dev->controller = controller;
    dev->data_id = 4242;

    for_each_call(data, size, [&](uint8_t selector, const uint8_t* payload, int len) {
        const auto before = bytes_of(dev->current_record());
        const bool was_valid = dev->data_valid;
        const unsigned logged_before = controller->logged;
        int result = 0;
        switch (selector % 4) {
            case 0: result = dev->parse42_41(payload, len); break;
            case 1: result = dev->Template::parse42_41(payload, len); break;
            case 2: result = dev->parse42_44(payload, len); break;
            default: {
                const bool accepted = dev->LoadFromCache(payload, len);
                const auto after = bytes_of(dev->current_record());
                if (accepted != (len == static_cast<int>(before.size()))) fail();
                if (accepted && (!dev->data_valid || std::memcmp(after.data(), payload, after.size()) != 0)) fail();
                if (!accepted && (after != before || dev->data_valid != was_valid)) fail();
                return;
            }
        }
        if (result < -1 || result > len) fail();
        if (result == -1 && (controller->logged == logged_before ||
                             controller->last_format.find("read overflow") == std::string::npos))
            fail();
        // Parsing never stamps data as current.
        if (dev->data_valid != was_valid) fail();
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The float analog parser traces each answer on standard output; at fuzzing
    // rates that trace is only noise.
    if (!std::freopen("/dev/null", "w", stdout)) std::fputs("dc_parse_fuzz: standard output not silenced\n", stderr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] % 2 == 0)
        drive<VOKA_DC, PMBusPowerDC<tele_c_voka_dc, kVokaDcRecordType>>(data + 1, size - 1);
    else
        drive<WideDC, PMBusPowerDC<WideDcRecord, 7001>>(data + 1, size - 1);
    return 0;
}
