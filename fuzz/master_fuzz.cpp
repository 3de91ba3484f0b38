// Drives configured masters (two AC, two DC children and the rectifier) with
// arbitrary sequences of decoded answers of any CID1, length and content, in
// whatever stage each has reached: the "voka" cycle and the general cycle.
#include <cstdint>
#include <iostream>
#include <memory>

#include "fuzz/call_sequence.h"
#include "plugin/power/voka.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

namespace {

using GeneralMaster = PMBusPower<VOKA_AC, VOKA_DC, VOKA_RC>;

// The longest INFO a frame carries (its length field counts 4095 characters).
constexpr size_t kMaxInfoBytes = 2047;

const char* const kConfig = R"({"acSetting": [{"data_id": 11}, {"data_id": 12}],
                                "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}})";

// Each call: the selector's low bits pick a stage to force or none, its top
// bit the master; a two-byte length, so that one answer may be as long as a
// frame allows; the payload's first byte is the CID1, the rest the INFO.
template <class Master>
void drive(Master& master, uint8_t selector, const uint8_t* payload, int len) {
    const int force = selector & 0x0F;
    if (force == 0x0F) {
        master.RefreshStatus();
        return;
    }
    if (force < 10 || force == 14) master.cmd_stage = force;  // 10 to 13: the stage the master reached
    const uint8_t cid1 = len > 0 ? payload[0] : 0x40;
    const size_t info = len > 0 ? static_cast<size_t>(len - 1) : 0;
    auto frame = std::make_unique<uint8_t[]>(6 + info);
    frame[0] = 0x20;
    frame[1] = 0x01;
    frame[2] = cid1;
    frame[3] = 0;
    frame[4] = static_cast<uint8_t>((info * 2) & 0xFF);
    frame[5] = static_cast<uint8_t>((info * 2) >> 8);
    if (info) std::copy_n(payload + 1, info, frame.get() + 6);
    master.process(frame.get(), static_cast<unsigned>(6 + info));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        std::cout.setstate(std::ios::failbit);  // some parsers print diagnostic lines
        return true;
    }();
    (void)quiet;
    static const Json::Value config = parse_json(kConfig);
    auto controller = std::make_shared<RecordingController>();
    controller->run_work_inline = true;
    auto voka = std::make_shared<VOKA>();
    auto general = std::make_shared<GeneralMaster>(std::vector<std::string>{"voka"});
    general->answer_pause_us = 0;  // the pause only slows the search
    for (ZTXVDevice* m : {static_cast<ZTXVDevice*>(voka.get()), static_cast<ZTXVDevice*>(general.get())}) {
        m->controller = controller;
        m->InitSetting(config);
    }
    for_each_call<2>(
        data, size,
        [&](uint8_t selector, const uint8_t* payload, int len) {
            if (selector & 0x80)
                drive(*general, selector, payload, len);
            else
                drive(*voka, selector, payload, len);
        },
        1 + kMaxInfoBytes);
    return 0;
}
