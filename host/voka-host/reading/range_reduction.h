#pragma once
// A time range of a device's history cut into at most `points` equal spans
// ("buckets"), keeping of every value in each span its least, greatest and
// mean: a plot of a week stays a thousand points, and a dip that lasted one
// round still shows in the least (a mean alone would smooth it away).
//
// Values are the records' readings, named as table columns (channel_0_a,
// module_2_current; reading_columns.h); `wanted` keeps only the columns
// whose column name or plain reading name it holds ("current": every
// module's current), all when empty. Missing readings count nowhere; a
// bucket no row fell in is left out of the answer.
//
// Memory: points × kept columns, whatever the number of rows.
// Not thread-safe: one reduction per answer.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <json/value.h>

#include "host/voka-host/records/record_types.h"

class RangeReduction {
public:
    struct Stats {
        double min = 0, max = 0, sum = 0;
        size_t count = 0;
        double mean() const { return count ? sum / static_cast<double>(count) : 0; }
    };
    struct Series {
        std::string name;
        std::string unit;
        std::vector<Stats> buckets;  // one per bucket of the range
    };

    // The range is [since, until], both in seconds since the epoch;
    // `points` >= 1. A range shorter than `points` seconds gets one-second
    // buckets. Throws std::invalid_argument for points 0 or until < since.
    RangeReduction(int64_t since, int64_t until, size_t points, std::set<std::string> wanted = {});

    // One row: ignored outside the range or when it could not be decoded.
    void add(int64_t time, const DecodedRecord& record);

    int64_t bucket_seconds() const { return bucket_s_; }
    size_t bucket_count() const { return rows_.size(); }
    // Rows that fell in each bucket.
    const std::vector<size_t>& rows_per_bucket() const { return rows_; }
    const std::vector<Series>& series() const { return series_; }

    // {"since", "until", "bucket_s", "times": [start of each bucket with rows],
    //  "series": [{"name", "unit", "min": [...], "max": [...], "mean": [...]}]}
    // one element of min/max/mean per time, null where the value had none.
    Json::Value json() const;

private:
    // The series of each reading of a record, by its place in the record:
    // records of one type with as many readings have the same layout.
    const std::vector<int>& layout(const DecodedRecord& record);

    int64_t since_, until_, bucket_s_;
    std::set<std::string> wanted_;
    std::vector<size_t> rows_;
    std::vector<Series> series_;
    std::unordered_map<std::string, int> series_index_;
    std::unordered_map<uint64_t, std::vector<int>> layouts_;  // by record type and reading count; -1: not kept
};
