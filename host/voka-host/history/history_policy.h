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
    // How long stored rows without an alarm change may wait in one open
    // transaction for their commit. A commit costs the flash about the same
    // whatever it holds (its pages of the write-ahead log and of its index),
    // so one every 5 minutes instead of one a stored image writes a fraction;
    // what waits is lost to a kill, and another connection sees it only once
    // it is committed (HistoryDb::commit_held() lets a reader ask first).
    static constexpr int64_t kDefaultCommitEveryS = 300;

    Retention retention;
    int64_t interval_s = kDefaultIntervalS;  // a device's image is stored once per period of the clock; 0: every round
    int64_t commit_every_s = kDefaultCommitEveryS;  // 0: every round commits

    bool operator==(const HistoryPolicy&) const = default;
};
