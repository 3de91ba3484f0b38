// The hand matcher must agree with std::regex_search of "channel_(\d+)_(.+?)"
// on every key, because that expression is what callers were promised.
#include <random>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "plugin/ac/channel_key.h"

namespace {

struct RegexAnswer {
    bool found = false;
    std::string digits;
    std::string field;
};

RegexAnswer regex_answer(const std::string& key) {
    static const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    std::smatch m;
    if (!std::regex_search(key, m, pattern)) return {};
    return {true, m[1].str(), m[2].str()};
}

// The index the regex's digits stand for, saturated as the matcher does.
size_t saturated_index(const std::string& digits) {
    size_t v = 0;
    for (char c : digits) {
        const size_t d = static_cast<size_t>(c - '0');
        v = v > (kChannelIndexLimit - d) / 10 ? kChannelIndexLimit : v * 10 + d;
    }
    return v;
}

void expect_agrees(const std::string& key) {
    const RegexAnswer want = regex_answer(key);
    const auto got = find_channel_key(key);
    ASSERT_EQ(got.has_value(), want.found) << "key: [" << key << "]";
    if (!got) return;
    EXPECT_EQ(std::string(1, got->field), want.field) << "key: [" << key << "]";
    EXPECT_EQ(got->index, saturated_index(want.digits)) << "key: [" << key << "]";
}

}  // namespace

TEST(ChannelKey, AgreesWithRegexOnHandPickedKeys) {
    for (const char* key : {"", "channel_", "channel_0", "channel_0_", "channel_0_a", "channel__a", "channel_x_a",
                            "xchannel_0_a", "channel_1_frequency", "channel_0001_a", "channel_00_b",
                            "channel_0_\n", "channel_0_\r", "channel_0_\na", "channel_0_\t", "channel_1_a_2_b",
                            "channel_channel_3_c", "channel_12a_channel_4_f", "chan nel_1_a", "CHANNEL_1_a",
                            "channel_184467440737095516150_a", "channel_99999999999999999999999_f",
                            "channel_-1_a", "channel_+1_a", "channel_1__", "channel_1_ ", "ia_alert"})
        expect_agrees(key);
    expect_agrees(std::string("channel_0_\0", 11));
    expect_agrees(std::string("channel_\0_a", 11));
}

TEST(ChannelKey, AgreesWithRegexOnGeneratedKeys) {
    // Keys built from the pieces that matter to the expression, up to a few
    // hundred characters, so that every kind of near miss is produced.
    const std::vector<std::string> pieces = {"channel_", "channel", "_", "0", "1", "9", "007", "a", "f", "x",
                                             "\n", "\r", "c", "hannel_", " ", "12345678901234567890"};
    std::mt19937 rng(20261208);
    for (int n = 0; n < 20000; ++n) {
        std::string key;
        const size_t parts = rng() % 60;
        for (size_t i = 0; i < parts; ++i) key += pieces[rng() % pieces.size()];
        expect_agrees(key);
        if (HasFatalFailure()) return;
    }
}

TEST(ChannelKey, ReadsIndexAsDecimalWithLeadingZeros) {
    const auto k = find_channel_key("channel_0001_a");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->index, 1u);
    EXPECT_EQ(k->field, 'a');
}

TEST(ChannelKey, SaturatesIndexTooLargeToRepresent) {
    const auto k = find_channel_key("channel_" + std::string(300, '9') + "_b");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->index, kChannelIndexLimit);
}

TEST(ChannelKey, HandlesVeryLongKeysWithoutRecursion) {
    // A regex engine that recurses per character could not take this key.
    std::string key(1 << 20, 'x');
    key += "channel_" + std::string(100000, '0') + "2_c";
    const auto k = find_channel_key(key);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->index, 2u);
    EXPECT_EQ(k->field, 'c');
}
