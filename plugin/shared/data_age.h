#pragma once
// The freshness rule every value lookup applies before it looks at the key:
// no data yet answers "数据未就绪"; data 61 seconds or more old answers
// "数据已超时".
//
// The age is measured on the monotonic clock from the moment the device set
// last_update (a round's end, a reload), counted from the start of that local
// second, so that it matches whole local seconds while the wall clock runs
// true, and neither a clock set back nor one jumped ahead (daylight saving, a
// time sync) makes old data look fresh or fresh data stale. When last_update
// holds a value the device did not set (the host set it), the age is the
// local clock, to the second, minus last_update; a negative age is fresh.
#include <time.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/date_time/posix_time/conversion.hpp>

namespace data_age {

inline constexpr int64_t kStaleAfterSeconds = 61;
inline constexpr int64_t kNanosPerSecond = 1'000'000'000;

// One reading of the local clock: to the second, and how far into that second.
struct LocalReading {
    boost::posix_time::ptime time;
    int64_t subsecond_ns = 0;
};

// The clocks the rule reads on a running system.
struct SystemClocks {
    // Coarse is enough for a limit in seconds, and far cheaper to read.
    static int64_t monotonic_ns() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
    }
    // As second_clock::local_time reads it, with the fraction of the second.
    static LocalReading local_now() {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm tm{};
        const time_t seconds = ts.tv_sec;
        if (!localtime_r(&seconds, &tm)) return {boost::posix_time::second_clock::local_time(), 0};
        return {boost::posix_time::ptime_from_tm(tm), ts.tv_nsec};
    }
};

template <class Clocks>
class BasicFreshness {
public:
    // Sets last_update to the local time now and takes the monotonic stamp
    // with it. Returns the reading, for the record's time stamp.
    LocalReading stamp(boost::posix_time::ptime& last_update) {
        const LocalReading now = Clocks::local_now();
        last_update = now.time;
        stamped_update_ = now.time;
        second_start_ns_ = Clocks::monotonic_ns() - now.subsecond_ns;
        return now;
    }

    void require_servable(bool data_valid, const boost::posix_time::ptime& last_update) const {
        if (!data_valid) throw std::out_of_range("数据未就绪");
        // A device that says it has data but was never stamped cannot vouch for its age.
        if (last_update.is_special()) throw std::out_of_range("数据已超时");
        if (last_update == stamped_update_) {
            if (Clocks::monotonic_ns() - second_start_ns_ >= kStaleAfterSeconds * kNanosPerSecond)
                throw std::out_of_range("数据已超时");
            return;
        }
        const int64_t age = (Clocks::local_now().time - last_update).total_seconds();
        if (age >= kStaleAfterSeconds) throw std::out_of_range("数据已超时");
    }

private:
    boost::posix_time::ptime stamped_update_;  // not a date until the first stamp
    int64_t second_start_ns_ = 0;              // monotonic time at the start of that local second
};

using Freshness = BasicFreshness<SystemClocks>;

}  // namespace data_age
