#pragma once
// The AC and DC devices read their thresholds from "appSetting" alike: a
// table of site elements and what each device makes of them.
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/json.h"

struct AppSettingCase {
    const char* config;
    float diff_v;
    float diff_i;
};

// Whatever the element, InitV keeps the data id (in the device and in its
// record, read by `record_id`), never throws, and reads the thresholds.
template <class Device, class RecordId>
void expect_app_settings(const std::vector<AppSettingCase>& cases, RecordId record_id) {
    for (const auto& c : cases) {
        const Json::Value config = parse_json(c.config);
        Device dev;
        bool result = false;
        EXPECT_NO_THROW(result = dev.InitV(nullptr, 4711, config)) << c.config;
        EXPECT_TRUE(result);
        EXPECT_EQ(record_id(dev), 4711u);
        EXPECT_EQ(dev.data_id, 4711u);
        EXPECT_FLOAT_EQ(dev.diff_v_setting(), c.diff_v) << c.config;
        EXPECT_FLOAT_EQ(dev.diff_i_setting(), c.diff_i) << c.config;
    }
}
