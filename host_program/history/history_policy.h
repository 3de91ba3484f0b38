#pragma once
// How much history the database keeps, and how often it stores an image.
#include <cstdint>

struct Retention {
    // Defaults: a month of trend (covers the usual monthly maintenance visit);
    // 50,000 rows per device leave the age bound in charge at the default
    // interval (30 days = 43,200 minutes) and cap a device near 15 MB when
    // images are stored every round.
    static constexpr unsigned kDefaultMaxRows = 50'000;
    static constexpr int64_t kDefaultMaxAgeS = 30 * 86'400;

    unsigned max_rows_per_device = kDefaultMaxRows;  // per (data id, record type); 0: no bound
    int64_t max_age_s = kDefaultMaxAgeS;             // 0: no bound

    bool operator==(const Retention&) const = default;
};

struct HistoryPolicy {
    static constexpr int64_t kDefaultIntervalS = 60;

    Retention retention;
    int64_t interval_s = kDefaultIntervalS;  // a device's image is stored once per period of the clock; 0: every round

    bool operator==(const HistoryPolicy&) const = default;
};
