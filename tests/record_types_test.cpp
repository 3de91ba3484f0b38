// The host's record decoder: every reading carries its indices, a missing
// phase current is told from a value, the JSON form holds the same values,
// and images that are not whole records are refused.
#include <gtest/gtest.h>

#include "plugin/shared/wire_values.h"
#include <cstring>

#include "host/voka-host/records/record_types.h"
#include "plugin/rc/rc_record.h"
#include "tests/support/ac_image.h"

namespace {

const Reading* find(const DecodedRecord& d, std::string_view name, int channel = -1) {
    for (const Reading& r : d.readings)
        if (r.name == name && r.channel == channel) return &r;
    return nullptr;
}

}  // namespace

TEST(RecordTypes, AcReadingsCarryIndicesUnitsAndTheMissingMark) {
    auto image = make_ac_image(7, wire::kMissingCurrent, 0, {{230.5f, 231, 229, 50}, {1, 2, 3, 49.9f}});
    // Decoded from an odd address: the floats are read out of unaligned bytes.
    std::vector<uint8_t> shifted(1, 0);
    shifted.insert(shifted.end(), image.begin(), image.end());
    const DecodedRecord d = decode_record(kAcRecord.number, std::span(shifted).subspan(1));

    ASSERT_EQ(d.type, &kAcRecord);
    ASSERT_EQ(d.error, "");
    ASSERT_EQ(d.readings.size(), 3u + 2 * 4);
    const Reading* ia = find(d, "ia");
    ASSERT_TRUE(ia);
    EXPECT_TRUE(ia->missing);
    EXPECT_EQ(ia->unit, "A");
    EXPECT_FALSE(find(d, "ib")->missing);
    EXPECT_EQ(find(d, "ic")->phase, 2);

    const Reading* c = find(d, "c", 0);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->phase, 2);
    EXPECT_EQ(c->unit, "V");
    EXPECT_FLOAT_EQ(c->value, 229);
    const Reading* f = find(d, "f", 1);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->unit, "Hz");
    EXPECT_EQ(f->phase, -1);
    EXPECT_FLOAT_EQ(f->value, 49.9f);
    EXPECT_DOUBLE_EQ(d.fields["channels"][1]["f"].asDouble(), 49.9);
    EXPECT_DOUBLE_EQ(d.fields["ia"].asDouble(), -0.1);
}

TEST(RecordTypes, ImagesThatAreNotWholeRecordsAreRefused) {
    const auto ac = make_ac_image(7, 1, 0, {{}});
    const std::vector<uint8_t> dc(kDcRecord.size_for(0) + 1), rc(kRectifierRecord.size_for(0) - 1);
    std::vector<uint8_t> ac_short_of_a_channel = ac;
    ac_short_of_a_channel[offsetof(tele_c_voka_ac, channel_count)] = 2;
    const struct {
        int type;
        std::span<const uint8_t> image;
        const char* error;
    } cases[] = {
        {kAcRecord.number, std::span(ac).first(ac.size() - 1), "not an AC image"},
        {kAcRecord.number, ac_short_of_a_channel, "channel count does not match the image"},
        {kDcRecord.number, dc, "not a DC image"},
        {kRectifierRecord.number, rc, "not a rectifier image"},
        {4242, ac, "unknown record type 4242"},
    };
    for (const auto& c : cases) {
        const DecodedRecord d = decode_record(c.type, c.image);
        EXPECT_EQ(d.error, c.error) << c.type;
        EXPECT_EQ(d.fields.getMemberNames(), std::vector<std::string>{"error"});
        EXPECT_TRUE(d.readings.empty());
    }
    EXPECT_EQ(decode_record(kAcRecord.number, ac).error, "");
}

// The readings alone are those of the full decoding, reading for reading,
// for every kind and for a refused image.
TEST(RecordTypes, ReadingsOnlyGivesTheSameReadingsWithoutTheJsonForm) {
    std::vector<uint8_t> rc(kRectifierRecord.size_for(3)), dc(kDcRecord.size_for(0));
    for (size_t i = 0; i < rc.size(); ++i) rc[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t i = 0; i < dc.size(); ++i) dc[i] = static_cast<uint8_t>(i * 53 + 5);
    rc[offsetof(tele_c_voka_rc, channel_count)] = 3;
    const struct {
        int type;
        std::vector<uint8_t> image;
    } cases[] = {
        {kAcRecord.number, make_ac_image(7, wire::kMissingCurrent, 0, {{230.5f, 231, 229, 50}, {1, 2, 3, 49.9f}})},
        {kDcRecord.number, dc},
        {kRectifierRecord.number, rc},
        {kDcRecord.number, std::vector<uint8_t>(3)},
    };
    for (const auto& c : cases) {
        const DecodedRecord full = decode_record(c.type, c.image);
        const DecodedRecord lean = decode_record(c.type, c.image, RecordForm::readings_only);
        EXPECT_EQ(lean.error, full.error);
        ASSERT_EQ(lean.readings.size(), full.readings.size()) << c.type;
        for (size_t i = 0; i < full.readings.size(); ++i) {
            EXPECT_EQ(lean.readings[i].name, full.readings[i].name);
            EXPECT_EQ(lean.readings[i].module, full.readings[i].module);
            EXPECT_EQ(std::memcmp(&lean.readings[i].value, &full.readings[i].value, sizeof(float)), 0);
        }
        if (full.error.empty()) {
            EXPECT_TRUE(lean.fields.empty()) << c.type;
        }
    }
}
