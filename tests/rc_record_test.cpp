// The rectifier device's record and lifecycle: construction, InitV, value
// lookup (which serves no key), and reload of a stored image.
#include <gtest/gtest.h>

#include <json/value.h>

#include "plugin/shared/data_age.h"
#include "tests/support/rc_device.h"

namespace {

using boost::posix_time::seconds;

std::string refusal(const VOKA_RC& dev, const std::string& key) {
    try {
        dev.Get_Value(0, key);
        return "a value";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

// A host that fails while it registers the device.
struct ThrowingController : RecordingController {
    bool device_initialised(ZTXVDevice&, ZTXVDevice*, unsigned, const Json::Value&) override {
        throw std::runtime_error("host failure");
    }
};

template <class Device>
std::pair<bool, std::string> load(RcRig<Device>& rig, const std::vector<uint8_t>& image, int len) {
    testing::internal::CaptureStdout();
    const bool ok = rig.dev->LoadFromCache(image.data(), len);
    return {ok, testing::internal::GetCapturedStdout()};
}

std::string lines(int len, int count) {
    std::string out = "rc data_len:" + std::to_string(len) + " vs 147\n";
    if (len > 146) out += "rc channelLen 16 and " + std::to_string(count) + " left:" + std::to_string(len - 147) + "\n";
    return out;
}

}  // namespace

TEST(RcDevice, StartsEmptyAndNamed) {
    VOKA_RC dev;
    EXPECT_EQ(dev.DeviceType(), "voka-rc");
    EXPECT_FALSE(dev.data_valid);
    EXPECT_TRUE(dev.modules().empty());
    EXPECT_FALSE(dev.channel_count_fixed());
    const auto* r = reinterpret_cast<const uint8_t*>(&dev.record());
    EXPECT_EQ(std::vector<uint8_t>(r, r + 147), std::vector<uint8_t>(147, 0));
}

TEST(RcDevice, InitVStoresTheIdAndNeverThrows) {
    RcRig<VOKA_RC> rig;
    EXPECT_TRUE(rig.dev->InitV(nullptr, 0x01020304, Json::Value()));
    const auto* r = reinterpret_cast<const uint8_t*>(&rig.dev->record());
    EXPECT_EQ(std::vector<uint8_t>(r, r + 4), (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(rig.dev->data_id, 0x01020304u);

    rig.controller->accept_devices = false;
    EXPECT_FALSE(rig.dev->InitV(nullptr, 9, Json::Value("anything")));

    auto throwing = std::make_shared<ThrowingController>();
    VOKA_RC dev;
    dev.controller = throwing;
    bool result = true;
    EXPECT_NO_THROW(result = dev.InitV(nullptr, 5, Json::Value()));
    EXPECT_FALSE(result);
    EXPECT_EQ(dev.record().id, 5u);
}

TEST(RcDevice, ServesNoKeyAndReportsStaleData) {
    RcRig<VOKA_RC> rig;
    for (const char* key : {"", "v", "output_voltage", "channel_0_a"})
        EXPECT_EQ(refusal(*rig.dev, key), "数据未就绪") << key;

    ASSERT_TRUE(load(rig, voka_image(1, 0, 0), 147).first);
    const std::vector<std::pair<long, std::string>> ages = {
        {0, "数据未就绪"}, {60, "数据未就绪"}, {61, "数据已超时"}, {3600, "数据已超时"}, {-3600, "数据未就绪"}};
    for (const auto& [age, want] : ages) {
        std::string got;
        // The device's own clock: time()'s coarse second can lag it near a second's turn.
        for (int tries = 0; tries < 5; ++tries) {  // the clock's second may turn meanwhile
            const auto now = data_age::SystemClocks::local_now().time;
            rig.dev->last_update = now - seconds(age);
            got = refusal(*rig.dev, "i");
            if (data_age::SystemClocks::local_now().time == now) break;
        }
        EXPECT_EQ(got, want) << "age " << age;
    }
}

TEST(RcCache, AcceptsACompleteImage) {
    RcRig<VOKA_RC> rig;
    const auto image = voka_image(0xABCD, 2, 2);
    const auto [ok, out] = load(rig, image, 179);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "rc data_len:179 vs 147\nrc channelLen 16 and 2 left:32\n");
    EXPECT_TRUE(rig.dev->data_valid);
    EXPECT_FALSE(rig.dev->channel_count_fixed());
    EXPECT_EQ(refusal(*rig.dev, "x"), "数据未就绪");  // fresh, yet no key is served
    auto state = rig.state();
    state.resize(image.size());
    EXPECT_EQ(state, image);

    // Other sizes: a 53-byte record, 22-byte entries, the count at offset 45.
    RcRig<OtherRC> other;
    const auto other_image = rc_image<OtherRecord, OtherChannel>(3, 1, 1);
    ASSERT_EQ(other_image[45], 1);
    const auto [other_ok, other_out] = load(other, other_image, 75);
    EXPECT_TRUE(other_ok);
    EXPECT_EQ(other_out, "rc data_len:75 vs 53\nrc channelLen 22 and 1 left:22\n");
    ASSERT_EQ(other.dev->modules().size(), 1u);
    EXPECT_EQ(other.dev->modules()[0].current, 1.0f);
}

TEST(RcCache, RefusedImageChangesNothing) {
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        int len;
        int count_in_line;
    };
    const std::vector<Case> cases = {
        {"one byte short of a record", voka_image(2, 0, 0), 146, 0},
        {"count 3, entries for 2", voka_image(2, 3, 2), 179, 3},
        {"count 1, no entries", voka_image(2, 1, 0), 147, 1},
        {"one byte short of an entry", voka_image(2, 1, 1), 162, 1},
        {"one byte extra", [] { auto i = voka_image(2, 1, 1); i.push_back(0); return i; }(), 164, 1},
        {"zero length", voka_image(2, 0, 0), 0, 0},
        {"negative length", voka_image(2, 0, 0), -1, 0},
    };
    for (bool start_loaded : {false, true}) {
        for (const auto& c : cases) {
            RcRig<VOKA_RC> rig;
            if (start_loaded) {
                ASSERT_TRUE(load(rig, voka_image(1, 2, 2), 179).first);
            }
            const auto before = rig.state();
            const auto [ok, out] = load(rig, c.image, c.len);
            EXPECT_FALSE(ok) << c.name;
            EXPECT_EQ(out, lines(c.len, c.count_in_line)) << c.name;
            EXPECT_EQ(rig.state(), before) << c.name << (start_loaded ? " (loaded)" : " (new)");
        }
    }
    VOKA_RC dev;  // no bytes behind the length
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dev.LoadFromCache(nullptr, 147));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:147 vs 147\n");
}
