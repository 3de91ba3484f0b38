// DC answer parsing: the VOKA fixed-point analog form, the template's float
// form over a record with room for every optional part, and the alarm-state
// form; counts over capacity, and every cut of a payload at every field.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/dc/voka_dc.h"
#include "tests/support/dc_devices.h"
#include "tests/support/recording_controller.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kWorkedExample = {0x02, 0x17, 0x00, 0xC8, 0x04, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x1E, 0x00, 0x28, 0x00, 0x00};

const std::string kDcClass = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 77 ";

std::string overflow_41(size_t needed, int len) {
    return "PMBusPowerAC:ProcotolError 77 read 42_41 read overflow " + std::to_string(needed) + " - " +
           std::to_string(len);
}
std::string overflow_44(size_t needed, int len) {
    return "PMBusPowerAC:ProcotolError 77 read 42_44 read overflow " + std::to_string(needed) + " - " +
           std::to_string(len);
}

// A device with data id 77 holding `prior`, logging to a recording controller.
template <class Device>
struct DcParseRig {
    using Record = std::remove_cvref_t<decltype(std::declval<Device>().current_record())>;
    using Parse = int (Device::*)(const uint8_t*, int);

    explicit DcParseRig(const Record& prior) {
        dev->controller = controller;
        dev->data_id = 77;
        const Bytes image = bytes_of(prior);
        EXPECT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    }

    // Hands the parser exactly the first `len` bytes, in a buffer of that size,
    // so that a read past them is caught by the sanitizers.
    int run(Parse parse, const Bytes& payload, int len) {
        if (len < 0) return ((*dev).*parse)(payload.data(), len);
        const Bytes exact(payload.begin(), payload.begin() + len);
        return ((*dev).*parse)(exact.data(), len);
    }

    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Device> dev = std::make_shared<Device>();
};

tele_c_voka_dc voka_prior() {
    tele_c_voka_dc r{};
    r.id = 77;
    r.v = 1.0f;
    r.i = 2.0f;
    r.dc_m = 4;
    for (unsigned k = 0; k < 4; ++k) r.m_values[k] = 9.5f;
    r.v_state = 6;
    for (uint8_t k = 0; k < 7; ++k) r.ttime[k] = static_cast<uint8_t>(k + 1);
    return r;
}

WideDcRecord wide_prior() {
    WideDcRecord r{};
    r.id = 77;
    r.m_values[0] = r.m_values[1] = 9.5f;
    r.n_values[0] = 8.5f;
    r.p_values[0] = r.p_values[1] = 7.5f;
    r.alert_m_states[0] = r.alert_m_states[1] = 0xEE;
    r.alert_p_states[0] = r.alert_p_states[1] = r.alert_p_states[2] = 0xDD;
    return r;
}

template <class Device>
struct Case {
    const char* name;
    Bytes payload;
    int len;  // bytes handed over; the payload's size when negative
    int result;
    std::vector<std::string> logs;
    std::function<void(typename DcParseRig<Device>::Record&)> change;  // what the record should gain
};

template <class Device>
void check_cases(const typename DcParseRig<Device>::Record& prior, typename DcParseRig<Device>::Parse parse,
                 const std::vector<Case<Device>>& cases) {
    for (const auto& c : cases) {
        DcParseRig<Device> rig(prior);
        const int len = c.len < 0 ? static_cast<int>(c.payload.size()) : c.len;
        EXPECT_EQ(rig.run(parse, c.payload, len), c.result) << c.name;
        EXPECT_EQ(rig.controller->log_texts(), c.logs) << c.name;
        auto want = prior;
        if (c.change) c.change(want);
        EXPECT_EQ(bytes_of(rig.dev->current_record()), bytes_of(want)) << c.name;
    }
}

// Cuts a valid payload at every length short of its end: each cut is refused
// with the overflow message naming the end of the field it cut into.
// `ends` lists where each field (or skipped run) of the payload ends.
template <class Device>
void check_every_cut(const typename DcParseRig<Device>::Record& prior, typename DcParseRig<Device>::Parse parse,
                     const Bytes& payload, const std::vector<size_t>& ends,
                     std::string (*overflow)(size_t, int)) {
    ASSERT_EQ(ends.back(), payload.size());
    for (int len = -1; len < static_cast<int>(payload.size()); ++len) {
        DcParseRig<Device> rig(prior);
        const size_t needed = *std::upper_bound(ends.begin(), ends.end(), static_cast<size_t>(std::max(len, 0)));
        EXPECT_EQ(rig.run(parse, payload, len), -1) << "len " << len;
        const auto logs = rig.controller->log_texts();
        ASSERT_FALSE(logs.empty()) << "len " << len;
        EXPECT_EQ(logs.back(), overflow(needed, len));
    }
}

}  // namespace

TEST(DcVokaAnalog, DecodesTenthsAndHandlesEachCount) {
    Bytes p_announced = {0x02, 0x17, 0x00, 0xC8, 0x00, 0x00, 0x01};
    p_announced.resize(20, 0x5A);
    Bytes every_count_over = {0x00, 0x01, 0x00, 0x02, 0x05};
    every_count_over.resize(every_count_over.size() + 10, 0x11);
    every_count_over.insert(every_count_over.end(), {0x01, 0x22, 0x22, 0x02, 0x33});

    check_cases<VOKA_DC>(voka_prior(), &VOKA_DC::parse42_41, {
        {"worked example", kWorkedExample, -1, 15, {}, [](tele_c_voka_dc& r) {
             r.v = 53.5f; r.i = 20.0f; r.dc_m = 4;
             r.m_values[0] = 1.0f; r.m_values[1] = 2.0f; r.m_values[2] = 3.0f; r.m_values[3] = 4.0f;
             r.dc_n = 0; r.p_count = 0; }},
        {"bytes after the portion are left for the next device",
         [] { Bytes b = kWorkedExample; b.insert(b.end(), {7, 7, 7}); return b; }(), -1, 15, {},
         [](tele_c_voka_dc& r) {
             r.v = 53.5f; r.i = 20.0f;
             r.m_values[0] = 1.0f; r.m_values[1] = 2.0f; r.m_values[2] = 3.0f; r.m_values[3] = 4.0f; }},
        {"two groups update the first two values only",
         {0x00, 0x01, 0x00, 0x02, 0x02, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00}, -1, 11, {},
         [](tele_c_voka_dc& r) { r.v = 0.1f; r.i = 0.2f; r.dc_m = 2; r.m_values[0] = 1.0f; r.m_values[1] = 2.0f; }},
        {"no mark for missing: equal bytes are values too",
         {0xFF, 0xFF, 0x20, 0x20, 0x00, 0x00, 0x00}, -1, 7, {},
         [](tele_c_voka_dc& r) { r.v = 6553.5f; r.i = 822.4f; r.dc_m = 0; }},
        {"five groups: logged, ten bytes skipped, values kept",
         [] { Bytes b = {0x02, 0x17, 0x00, 0xC8, 0x05}; b.resize(15, 0x44); b.insert(b.end(), {0, 0}); return b; }(),
         -1, 17, {kDcClass + "read dc_m is 5, MAX_M is 4"},
         [](tele_c_voka_dc& r) { r.v = 53.5f; r.i = 20.0f; r.dc_m = 5; }},
        {"branches: logged, skipped, parsing goes on",
         {0x02, 0x17, 0x00, 0xC8, 0x00, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0x00}, -1, 11,
         {kDcClass + "read dc_n is 2, MAX_N is 0"},
         [](tele_c_voka_dc& r) { r.v = 53.5f; r.i = 20.0f; r.dc_m = 0; r.dc_n = 2; }},
        {"user values claim the rest of the answer", p_announced, -1, 20,
         {kDcClass + "read p_count is 1, support user_p max is 0"},
         [](tele_c_voka_dc& r) { r.v = 53.5f; r.i = 20.0f; r.dc_m = 0; r.p_count = 1; }},
        {"user values claim the rest even when nothing follows",
         {0x02, 0x17, 0x00, 0xC8, 0x00, 0x00, 0xFF}, -1, 7,
         {kDcClass + "read p_count is 255, support user_p max is 0"},
         [](tele_c_voka_dc& r) { r.v = 53.5f; r.i = 20.0f; r.dc_m = 0; r.p_count = 255; }},
        {"every count over: three messages in order", every_count_over, -1, 20,
         {kDcClass + "read dc_m is 5, MAX_M is 4", kDcClass + "read dc_n is 1, MAX_N is 0",
          kDcClass + "read p_count is 2, support user_p max is 0"},
         [](tele_c_voka_dc& r) { r.v = 0.1f; r.i = 0.2f; r.dc_m = 5; r.dc_n = 1; r.p_count = 2; }},
        {"cut short: fields before the cut stay", kWorkedExample, 10, -1, {overflow_41(11, 10)},
         [](tele_c_voka_dc& r) { r.v = 53.5f; r.i = 20.0f; r.m_values[0] = 1.0f; r.m_values[1] = 2.0f; }},
    });
}

TEST(DcVokaAnalog, RefusesEveryCutAtTheFieldItCutInto) {
    check_every_cut<VOKA_DC>(voka_prior(), &VOKA_DC::parse42_41, kWorkedExample, {2, 4, 5, 7, 9, 11, 13, 14, 15},
                             overflow_41);
    Bytes skipping = {0x02, 0x17, 0x00, 0xC8, 0x05};
    skipping.resize(15, 0x44);
    skipping.insert(skipping.end(), {0x01, 0x55, 0x55, 0x00});
    check_every_cut<VOKA_DC>(voka_prior(), &VOKA_DC::parse42_41, skipping, {2, 4, 5, 15, 16, 18, 19}, overflow_41);
}

TEST(DcAlarms, StoresStatesWithinCapacity) {
    check_cases<VOKA_DC>(voka_prior(), &VOKA_DC::parse42_44, {
        {"voltage too low", {0x01, 0x00, 0x00}, -1, 3, {}, [](tele_c_voka_dc& r) { r.v_state = 1; }},
        {"fuse states beyond capacity pass silently", {0x00, 0x02, 0x03, 0x03, 0x00, 0x09}, -1, 5, {},
         [](tele_c_voka_dc& r) { r.v_state = 0; r.alert_m_count = 2; }},
        {"user states beyond capacity are logged and passed", {0x02, 0x00, 0x02, 0x05, 0x06}, -1, 5,
         {kDcClass + "read 42_44 p is 2,  alert_p is 0"},
         [](tele_c_voka_dc& r) { r.v_state = 2; r.alert_p_count = 2; }},
    });
    check_cases<WideDC>(wide_prior(), &WideDC::parse42_44, {
        {"within capacity", {0x02, 0x02, 0x03, 0x00, 0x03, 0x01, 0x02, 0x03}, -1, 8, {}, [](WideDcRecord& r) {
             r.v_state = 2; r.alert_m_count = 2; r.alert_m_states[0] = 3; r.alert_m_states[1] = 0;
             r.alert_p_count = 3; r.alert_p_states[0] = 1; r.alert_p_states[1] = 2; r.alert_p_states[2] = 3; }},
        {"fewer than capacity keep the rest", {0x00, 0x01, 0x03, 0x01, 0x04}, -1, 5, {}, [](WideDcRecord& r) {
             r.alert_m_count = 1; r.alert_m_states[0] = 3; r.alert_p_count = 1; r.alert_p_states[0] = 4; }},
        {"fuse states over capacity: first two kept, silently", {0x00, 0x03, 0x03, 0x03, 0x03, 0x00}, -1, 6, {},
         [](WideDcRecord& r) { r.alert_m_count = 3; r.alert_m_states[0] = r.alert_m_states[1] = 3; r.alert_p_count = 0; }},
        {"user states over capacity: first three kept, logged", {0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04}, -1, 7,
         {kDcClass + "read 42_44 p is 4,  alert_p is 3"}, [](WideDcRecord& r) {
             r.alert_m_count = 0; r.alert_p_count = 4;
             r.alert_p_states[0] = 1; r.alert_p_states[1] = 2; r.alert_p_states[2] = 3; }},
    });
}

TEST(DcAlarms, RefusesEveryCutAtTheFieldItCutInto) {
    check_every_cut<VOKA_DC>(voka_prior(), &VOKA_DC::parse42_44, {0x00, 0x02, 0x03, 0x03, 0x00}, {1, 2, 4, 5},
                             overflow_44);
    check_every_cut<VOKA_DC>(voka_prior(), &VOKA_DC::parse42_44, {0x00, 0x00, 0x02, 0x05, 0x06}, {1, 2, 3, 5},
                             overflow_44);
    check_every_cut<WideDC>(wide_prior(), &WideDC::parse42_44, {0x02, 0x02, 0x03, 0x00, 0x03, 0x01, 0x02, 0x03},
                            {1, 2, 4, 5, 8}, overflow_44);
    // Over capacity: the kept states, then the passed-over rest, are runs of their own.
    check_every_cut<WideDC>(wide_prior(), &WideDC::parse42_44, {0x00, 0x03, 0x03, 0x03, 0x03, 0x04, 1, 2, 3, 4},
                            {1, 2, 4, 5, 6, 9, 10}, overflow_44);
}

namespace {

// The template's analog answer for the wide record: every part at capacity.
Bytes wide_analog() {
    Bytes b;
    append_f32(b, 53.5f);
    append_f32(b, 20.0f);
    b.push_back(2);
    append_f32(b, 1.0f);
    append_f32(b, 2.0f);
    b.push_back(1);
    append_f32(b, 3.0f);
    b.push_back(2);
    b.insert(b.end(), {0x20, 0x20, 0x20, 0x20});  // missing
    b.insert(b.end(), {0x00, 0x00, 0x00, 0x00});  // a real zero
    return b;
}

}  // namespace

TEST(DcFloatAnalog, CopiesFloatsAndMarksMissingUserValues) {
    Bytes equal_bytes = {0x20, 0x20, 0x20, 0x20, 0x01, 0x00, 0x80, 0x7F, 0x00, 0x00, 0x01};
    append_f32(equal_bytes, 0x1.0p-3f);
    const auto over = [](uint8_t m, uint8_t n, uint8_t p) {
        Bytes b;
        append_f32(b, 1.0f);
        append_f32(b, 2.0f);
        b.push_back(m);
        b.resize(b.size() + 4u * m, 0x31);
        b.push_back(n);
        b.resize(b.size() + 4u * n, 0x32);
        b.push_back(p);
        b.resize(b.size() + 6, 0x33);  // more than p values' worth is left for the claim
        return b;
    };
    check_cases<WideDC>(wide_prior(), &WideDC::parse42_41, {
        {"every part at capacity", wide_analog(), -1, 31, {}, [](WideDcRecord& r) {
             r.v = 53.5f; r.i = 20.0f; r.dc_m = 2; r.m_values[0] = 1.0f; r.m_values[1] = 2.0f;
             r.dc_n = 1; r.n_values[0] = 3.0f; r.p_count = 2; r.p_values[0] = -0.1f; r.p_values[1] = 0.0f; }},
        {"measured values are copied whatever their bytes", equal_bytes, -1, 15, {}, [](WideDcRecord& r) {
             const uint8_t v[4] = {0x20, 0x20, 0x20, 0x20}, i[4] = {0x01, 0x00, 0x80, 0x7F};
             std::memcpy(reinterpret_cast<uint8_t*>(&r) + 4, v, 4);
             std::memcpy(reinterpret_cast<uint8_t*>(&r) + 8, i, 4);
             r.dc_m = 0; r.dc_n = 0; r.p_count = 1; r.p_values[0] = 0.125f; }},
        {"groups over capacity skip four bytes each", over(3, 0, 0), 24, 23, {kDcClass + "read dc_m is 3, MAX_M is 2"},
         [](WideDcRecord& r) { r.v = 1.0f; r.i = 2.0f; r.dc_m = 3; r.dc_n = 0; r.p_count = 0; }},
        {"branches over capacity skip four bytes each", over(0, 2, 0), 19, 19,
         {kDcClass + "read dc_n is 2, MAX_N is 1"},
         [](WideDcRecord& r) { r.v = 1.0f; r.i = 2.0f; r.dc_m = 0; r.dc_n = 2; r.p_count = 0; }},
        {"user values over capacity claim the rest", over(0, 0, 3), -1, 17,
         {kDcClass + "read p_count is 3, support user_p max is 2"},
         [](WideDcRecord& r) { r.v = 1.0f; r.i = 2.0f; r.dc_m = 0; r.dc_n = 0; r.p_count = 3; }},
    });
    check_every_cut<WideDC>(wide_prior(), &WideDC::parse42_41, wide_analog(), {4, 8, 9, 13, 17, 18, 22, 23, 27, 31},
                            overflow_41);
}

TEST(DcFloatAnalog, TracesTheFirstFourBytesOnlyWhenTheyArePresent) {
    const Bytes payload = wide_analog();
    for (int len : {-1, 0, 3, 4, 31}) {
        DcParseRig<WideDC> rig(wide_prior());
        testing::internal::CaptureStdout();
        rig.run(&WideDC::parse42_41, payload, len);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, len >= 4 ? "parse 42 41: 0 0 56 42\n" : "") << "len " << len;
    }
}
