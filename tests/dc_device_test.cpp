// The DC device around its parsers: construction, the record image, value
// lookup with its freshness rule, reload from history, settings.
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/app_settings.h"
#include "tests/support/lookup.h"

#include "plugin/dc/voka_dc.h"
#include "tests/support/dc_devices.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::second_clock;
using Bytes = std::vector<uint8_t>;


// Everything LoadFromCache may change, as bytes, to prove a refusal changed nothing.
template <class Device>
Bytes state_of(const Device& dev) {
    Bytes s = bytes_of(dev.current_record());
    s.push_back(dev.data_valid);
    const int64_t stamp = dev.last_update.is_special()
                              ? -1
                              : (dev.last_update - ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
    const auto* sb = reinterpret_cast<const uint8_t*>(&stamp);
    s.insert(s.end(), sb, sb + sizeof stamp);
    return s;
}

Bytes dc_image(uint32_t id, float v, float i) {
    tele_c_voka_dc r{};
    r.id = id;
    r.v = v;
    r.i = i;
    r.dc_m = 4;
    r.m_values[3] = 4.5f;
    r.v_state = 2;
    for (uint8_t k = 0; k < 7; ++k) r.ttime[k] = static_cast<uint8_t>(0xA0 + k);
    return bytes_of(r);
}

}  // namespace

TEST(DcDevice, StartsEmptyWithDefaultSettings) {
    const VOKA_DC plain;
    const VOKA_DC named("VK-4815");
    for (const VOKA_DC* dev : {&plain, &named}) {
        EXPECT_EQ(dev->DeviceType(), "voka-dc");
        EXPECT_FALSE(dev->data_valid);
        EXPECT_EQ(bytes_of(dev->current_record()), Bytes(41, 0));
        EXPECT_FLOAT_EQ(dev->diff_v_setting(), 0.1f);
        EXPECT_FLOAT_EQ(dev->diff_i_setting(), 20.0f);
    }
    EXPECT_EQ(plain.model_text(), "");
    EXPECT_EQ(named.model_text(), "VK-4815");
}

TEST(DcDevice, RecordImageHoldsEachFieldLittleEndianAtItsOffset) {
    VOKA_DC dev;
    ASSERT_TRUE(dev.InitV(nullptr, 0x01020304, Json::Value()));
    const Bytes analog = {0x02, 0x17, 0x00, 0xC8, 0x04, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x1E, 0x00, 0x28, 0x00, 0x00};
    const Bytes alarms = {0x01, 0x00, 0x00};
    ASSERT_EQ(dev.parse42_41(analog.data(), static_cast<int>(analog.size())), 15);
    ASSERT_EQ(dev.parse42_44(alarms.data(), static_cast<int>(alarms.size())), 3);
    const Bytes want = {
        0x04, 0x03, 0x02, 0x01,                          // id
        0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0xA0, 0x41,  // v 53.5, i 20.0
        0x04,                                            // dc_m
        0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40,  // 1.0, 2.0
        0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x80, 0x40,  // 3.0, 4.0
        0x00, 0x00, 0x01, 0x00, 0x00,                    // dc_n, p_count, v_state, alert counts
        0, 0, 0, 0, 0, 0, 0};                            // ttime
    EXPECT_EQ(bytes_of(dev.current_record()), want);
}

TEST(DcDevice, AnswersVoltageAndCurrentOnlyWhileFresh) {
    VOKA_DC dev;
    for (const char* key : {"v", "i", "V", ""}) EXPECT_EQ(ask(dev, key), Answer(std::string("数据未就绪"))) << key;

    const Bytes image = dc_image(3, 53.5f, 20.25f);
    ASSERT_TRUE(dev.LoadFromCache(image.data(), static_cast<int>(image.size())));
    const std::vector<std::pair<std::string, Answer>> keys = {
        {"v", 53.5f}, {"i", 20.25f},
        {"V", std::string("数据未就绪")}, {"I", std::string("数据未就绪")}, {"m", std::string("数据未就绪")},
        {"v ", std::string("数据未就绪")}, {"", std::string("数据未就绪")}, {"v_state", std::string("数据未就绪")},
    };
    for (const auto& [key, want] : keys) EXPECT_EQ(ask(dev, key), want) << key;

    EXPECT_EQ(ask_at_age(dev, "v", 60), Answer(53.5f));
    EXPECT_EQ(ask_at_age(dev, "v", 61), Answer(std::string("数据已超时")));
    EXPECT_EQ(ask_at_age(dev, "nonsense", 61), Answer(std::string("数据已超时")));
    EXPECT_EQ(ask_at_age(dev, "i", -3600), Answer(20.25f));  // clock set back
}

TEST(DcDevice, LoadFromCacheRestoresAWholeRecord) {
    VOKA_DC dev;
    const Bytes image = dc_image(0xCAFE, 48.0f, 7.5f);
    EXPECT_TRUE(dev.LoadFromCache(image.data(), 41));
    EXPECT_TRUE(dev.data_valid);
    EXPECT_EQ(bytes_of(dev.current_record()), image);  // id and ttime too
    EXPECT_EQ(ask(dev, "v"), Answer(48.0f));
    VOKA_DC other;
    EXPECT_TRUE(other.LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(state_of(other), state_of(dev));

    // Another record type takes its own size, and only that.
    const Bytes wide(sizeof(WideDcRecord), 0x42);
    WideDC wide_dev;
    EXPECT_FALSE(wide_dev.LoadFromCache(image.data(), 41));
    EXPECT_TRUE(wide_dev.LoadFromCache(wide.data(), static_cast<int>(wide.size())));
    EXPECT_EQ(bytes_of(wide_dev.current_record()), wide);
}

TEST(DcDevice, RefusedLoadFromCacheChangesNothing) {
    const Bytes live = dc_image(1, 50.0f, 5.0f);
    Bytes long_image = dc_image(2, 9.0f, 9.0f);
    long_image.push_back(0);
    for (bool start_loaded : {false, true}) {
        for (int len : {40, 42, 0, -1, -41, 1}) {
            VOKA_DC dev;
            if (start_loaded) {
                ASSERT_TRUE(dev.LoadFromCache(live.data(), 41));
            }
            const Bytes before = state_of(dev);
            EXPECT_FALSE(dev.LoadFromCache(long_image.data(), len)) << len;
            EXPECT_EQ(state_of(dev), before) << len << (start_loaded ? " (loaded)" : " (new)");
        }
        VOKA_DC dev;
        const Bytes before = state_of(dev);
        EXPECT_FALSE(dev.LoadFromCache(nullptr, 41));
        EXPECT_EQ(state_of(dev), before);
    }
    const Bytes wide(sizeof(WideDcRecord) + 1, 0x42);
    for (int len : {static_cast<int>(sizeof(WideDcRecord)) - 1, static_cast<int>(sizeof(WideDcRecord)) + 1}) {
        WideDC dev;
        const Bytes before = state_of(dev);
        EXPECT_FALSE(dev.LoadFromCache(wide.data(), len)) << len;
        EXPECT_EQ(state_of(dev), before) << len;
    }
}

TEST(DcDevice, InitVStoresIdAndReadsSettingsWithoutThrowing) {
    expect_app_settings<VOKA_DC>({
        {R"({})", 0.1f, 20},
        {R"({"appSetting": {"diff_v": "0.5", "diff_i": 10}})", 0.5f, 10},
        {R"({"appSetting": {"diff_v": 2.25, "diff_i": "7.5A"}})", 2.25f, 7.5f},
        {R"({"appSetting": {"diff_v": null, "diff_i": null}})", 0.1f, 20},  // a present null keeps the default
        {R"({"appSetting": {"diff_v": "abc", "diff_i": ""}})", 0, 0},        // read as atof reads it
        {R"({"appSetting": {"diff_v": [1], "diff_i": {"x": 1}}})", 0.1f, 20},
        {R"({"appSetting": {"other": 5}})", 0.1f, 20},
        {R"({"appSetting": [1, 2]})", 0.1f, 20},
        {R"({"appSetting": "diff_v"})", 0.1f, 20},
        {R"({"appSetting": 3})", 0.1f, 20},
        {R"({"appSetting": null})", 0.1f, 20},
        {R"([1, 2, 3])", 0.1f, 20},
        {R"("just a string")", 0.1f, 20},
        {R"(42)", 0.1f, 20},
        {R"(null)", 0.1f, 20},
    }, [](const VOKA_DC& dev) { return dev.current_record().id; });
}

TEST(DcDevice, InitVReturnsTheHostsAnswer) {
    auto controller = std::make_shared<RecordingController>();
    auto parent = std::make_shared<VOKA_DC>();
    parent->controller = controller;
    controller->accept_devices = false;
    auto dev = std::make_shared<VOKA_DC>("VK");
    const Json::Value config = parse_json(R"({"data_id": 12})");
    EXPECT_FALSE(dev->InitV(parent.get(), 12, config));
    EXPECT_EQ(dev->current_record().id, 12u);  // stored whatever the host says
    ASSERT_EQ(controller->initialised().size(), 1u);
    EXPECT_EQ(controller->initialised()[0].device, dev.get());
    EXPECT_EQ(controller->initialised()[0].parent, parent.get());
    EXPECT_EQ(controller->initialised()[0].config, config);
}
