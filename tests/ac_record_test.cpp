#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "tests/support/app_settings.h"
#include "tests/support/lookup.h"

#include "tests/support/json.h"

#include "plugin/ac/voka_ac.h"
#include "tests/support/ac_image.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::second_clock;


// Everything LoadFromCache may change, as bytes, to prove a refusal changed nothing.
std::vector<uint8_t> state_of(const VOKA_AC& dev) {
    std::vector<uint8_t> s(sizeof(tele_c_voka_ac));
    std::memcpy(s.data(), &dev.header(), s.size());
    for (const auto& ch : dev.channels()) {
        const auto* b = reinterpret_cast<const uint8_t*>(&ch);
        s.insert(s.end(), b, b + sizeof ch);
    }
    s.push_back(dev.data_valid);
    s.push_back(dev.channel_count_fixed());
    const int64_t stamp = dev.last_update.is_special()
                              ? -1
                              : (dev.last_update - ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
    const auto* sb = reinterpret_cast<const uint8_t*>(&stamp);
    s.insert(s.end(), sb, sb + sizeof stamp);
    return s;
}

}  // namespace

TEST(AcRecord, StoresFieldsLittleEndianAtTheirOffsets) {
    const auto image = make_ac_image(0x01020304, 1.0f, 2, {{.a = 230.0f, .f = 50.0f, .a_alert = 3}});
    ASSERT_EQ(image.size(), 30u + 32u);
    EXPECT_EQ((std::vector<uint8_t>(image.begin(), image.begin() + 8)),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(image[16], 1);   // channel_count
    EXPECT_EQ(image[20], 2);   // ia_alert
    EXPECT_EQ((std::vector<uint8_t>(image.begin() + 30, image.begin() + 34)),
              (std::vector<uint8_t>{0x00, 0x00, 0x66, 0x43}));  // 230.0f
    EXPECT_EQ(image[30 + 17], 3);  // a_alert
}

TEST(AcDevice, StartsEmptyAndNamed) {
    VOKA_AC dev;
    EXPECT_EQ(dev.DeviceType(), "voka-ac");
    EXPECT_FALSE(dev.data_valid);
    EXPECT_TRUE(dev.channels().empty());
    const auto* h = reinterpret_cast<const uint8_t*>(&dev.header());
    EXPECT_EQ(std::vector<uint8_t>(h, h + 30), std::vector<uint8_t>(30, 0));
}

TEST(AcDevice, AnswersNotReadyForEveryKeyUntilDataArrives) {
    VOKA_AC dev;
    for (const char* key : {"ia", "ic_alert", "channel_0_a", "nonsense", ""})
        EXPECT_EQ(ask(dev, key), Answer(std::string("数据未就绪"))) << key;
}

TEST(AcDevice, AnswersEveryKeyInItsOrderOfChecks) {
    VOKA_AC dev;
    const auto image = make_ac_image(7, 12.5f, 2, {{.a = 230, .b = 231, .c = 232, .f = 50}, {.a = 1, .b = 2, .c = 3, .f = 4}});
    ASSERT_TRUE(dev.LoadFromCache(image.data(), static_cast<int>(image.size())));

    const std::vector<std::pair<std::string, Answer>> cases = {
        {"ia", 12.5f},
        {"ib", 13.5f},
        {"ic", 14.5f},
        {"ia_alert", 2.0f},
        {"ib_alert", 0.0f},
        {"channel_0_a", 230.0f},
        {"channel_0_b", 231.0f},
        {"channel_0_c", 232.0f},
        {"channel_0_f", 50.0f},
        {"channel_1_c", 3.0f},
        {"channel_0001_b", 2.0f},            // leading zeros: still channel 1
        {"xchannel_0_a", 230.0f},            // searched, not matched whole
        {"channel_1_frequency", 4.0f},       // one character after the index decides
        {"my channel_1_a and more", 1.0f},
        {"channel_2_a", std::string("通道参数越界")},
        {"channel_" + std::string(40, '9') + "_a", std::string("通道参数越界")},
        {"channel_4294967296_a", std::string("通道参数越界")},
        {"channel_0_x", std::string("数据未提供")},
        {"channel_a", std::string("数据未提供")},
        {"channel_0_", std::string("数据未提供")},
        {"channel_0_\n", std::string("数据未提供")},
        {"IA", std::string("数据未提供")},
        {"ia ", std::string("数据未提供")},
        {"", std::string("数据未提供")},
    };
    for (const auto& [key, want] : cases) EXPECT_EQ(ask(dev, key), want) << key;
}

TEST(AcDevice, ServesDataUpTo60SecondsOldAndRefusesFrom61) {
    VOKA_AC dev;
    const auto image = make_ac_image(7, 12.5f, 0, {{.a = 230}});
    ASSERT_TRUE(dev.LoadFromCache(image.data(), static_cast<int>(image.size())));
    EXPECT_EQ(ask_at_age(dev, "ia", 0), Answer(12.5f));
    EXPECT_EQ(ask_at_age(dev, "ia", 60), Answer(12.5f));
    EXPECT_EQ(ask_at_age(dev, "ia", 61), Answer(std::string("数据已超时")));
    // A stale record answers every key, known or not, with the time-out.
    EXPECT_EQ(ask_at_age(dev, "no such key", 61), Answer(std::string("数据已超时")));
    EXPECT_EQ(ask_at_age(dev, "channel_9_a", 3600), Answer(std::string("数据已超时")));
    // A clock set back makes the age negative: still fresh.
    EXPECT_EQ(ask_at_age(dev, "channel_0_a", -3600), Answer(230.0f));
}

TEST(AcDevice, LoadFromCacheAcceptsACompleteImage) {
    VOKA_AC dev;
    const auto image = make_ac_image(0xABCD, 3.0f, 1, {{.a = 10}, {.a = 20}});
    EXPECT_TRUE(dev.LoadFromCache(image.data(), static_cast<int>(image.size())));
    EXPECT_TRUE(dev.data_valid);
    EXPECT_FALSE(dev.channel_count_fixed());  // a stored count stays provisional
    EXPECT_EQ(dev.header().id, 0xABCDu);
    ASSERT_EQ(dev.channels().size(), 2u);
    EXPECT_EQ(ask(dev, "channel_1_a"), Answer(20.0f));
    // The string form reaches the same restore.
    VOKA_AC other;
    EXPECT_TRUE(other.LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(state_of(other), state_of(dev));
}

TEST(AcDevice, RefusedLoadFromCacheChangesNothing) {
    const auto live = make_ac_image(1, 5.0f, 0, {{.a = 230}, {.a = 231}});
    const auto three_stated_two_sent = [] {
        auto img = make_ac_image(2, 9.0f, 3, {{.a = 1}, {.a = 2}});
        img[16] = 3;
        return img;
    }();
    const auto header_only = make_ac_image(3, 9.0f, 3, {});
    const auto one_byte_short = [] {
        auto img = make_ac_image(4, 9.0f, 3, {{.a = 1}});
        img.pop_back();
        return img;
    }();
    const auto one_byte_extra = [] {
        auto img = make_ac_image(5, 9.0f, 3, {{.a = 1}});
        img.push_back(0);
        return img;
    }();

    struct Case { const char* name; std::vector<uint8_t> image; int len; };
    const std::vector<Case> cases = {
        {"header only (30 bytes)", header_only, 30},
        {"header says 3, entries for 2", three_stated_two_sent, static_cast<int>(three_stated_two_sent.size())},
        {"one byte short", one_byte_short, static_cast<int>(one_byte_short.size())},
        {"one byte extra", one_byte_extra, static_cast<int>(one_byte_extra.size())},
        {"negative length", live, -1},
        {"zero length", live, 0},
        {"29 bytes", live, 29},
    };
    for (bool start_loaded : {false, true}) {
        for (const auto& c : cases) {
            VOKA_AC dev;
            if (start_loaded) {
                ASSERT_TRUE(dev.LoadFromCache(live.data(), static_cast<int>(live.size())));
            }
            const auto before = state_of(dev);
            EXPECT_FALSE(dev.LoadFromCache(c.image.data(), c.len)) << c.name;
            EXPECT_EQ(state_of(dev), before) << c.name << (start_loaded ? " (loaded)" : " (new)");
        }
    }
    VOKA_AC dev;
    EXPECT_FALSE(dev.LoadFromCache(nullptr, 62));
}

TEST(AcDevice, InitVStoresIdAndReadsSettingsWithoutThrowing) {
    expect_app_settings<VOKA_AC>({
        {R"({})", 20, 20},
        {R"({"appSetting": {"diff_v": "5.5", "diff_i": 7}})", 5.5f, 7},
        {R"({"appSetting": {"diff_v": null}})", 0, 20},    // a present null reads as 0.0
        {R"({"appSetting": {"diff_v": "abc"}})", 0, 20},   // as atof reads it
        {R"({"appSetting": {"diff_v": [1], "diff_i": {"x": 1}}})", 20, 20},
        {R"({"appSetting": [1, 2]})", 20, 20},
        {R"({"appSetting": "x"})", 20, 20},
        {R"({"appSetting": 3})", 20, 20},
        {R"([1, 2, 3])", 20, 20},
        {R"("just a string")", 20, 20},
        {R"(42)", 20, 20},
        {R"(null)", 20, 20},
    }, [](const VOKA_AC& dev) { return dev.header().id; });
}
