// The freshness rule against clocks that the test sets: the age runs on the
// monotonic clock from the device's own stamp, so wall-clock steps change
// nothing, and falls back to the local clock when the host set last_update.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "plugin/shared/data_age.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using data_age::kNanosPerSecond;

struct FakeClocks {
    static inline int64_t mono_ns = 0;
    static inline data_age::LocalReading local;
    static int64_t monotonic_ns() { return mono_ns; }
    static data_age::LocalReading local_now() { return local; }
};

const ptime kNoon(boost::gregorian::date(2026, 3, 29), boost::posix_time::hours(12));

// The answer of the rule: "" when the data are served, else the refusal text.
std::string verdict(const data_age::BasicFreshness<FakeClocks>& f, bool valid, const ptime& last_update) {
    try {
        f.require_servable(valid, last_update);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

TEST(DataAge, DeviceStampedAgeRunsOnTheMonotonicClockWhateverTheWallClockDoes) {
    struct Case {
        const char* what;
        int64_t elapsed_ms;     // monotonic time since the stamp
        int64_t wall_step_s;    // how far the wall clock moved besides
        const char* expected;
    };
    // Stamped 300 ms into the second: whole local seconds tick 700 ms later.
    const Case cases[] = {
        {"60 whole seconds", 60'699, 0, ""},
        {"61 whole seconds", 60'700, 0, "数据已超时"},
        {"clock set back an hour, 61 s passed", 60'700, -3600, "数据已超时"},
        {"clock set back an hour, 10 s passed", 10'000, -3600, ""},
        {"clock jumped ahead an hour, 1 s passed", 1'000, 3600, ""},
    };
    for (const Case& c : cases) {
        data_age::BasicFreshness<FakeClocks> f;
        FakeClocks::mono_ns = 5'000 * kNanosPerSecond;
        FakeClocks::local = {kNoon, 300'000'000};
        ptime last_update;
        EXPECT_EQ(f.stamp(last_update).time, kNoon);
        EXPECT_EQ(last_update, kNoon);
        FakeClocks::mono_ns += c.elapsed_ms * 1'000'000;
        FakeClocks::local = {kNoon + seconds(c.wall_step_s + c.elapsed_ms / 1000), 0};
        EXPECT_EQ(verdict(f, true, last_update), c.expected) << c.what;
    }
}

TEST(DataAge, HostSetLastUpdateIsJudgedOnTheLocalClockToTheSecond) {
    data_age::BasicFreshness<FakeClocks> f;
    FakeClocks::mono_ns = 0;
    FakeClocks::local = {kNoon, 0};
    ptime stamped;
    f.stamp(stamped);
    // The monotonic clock says fresh throughout; the host's value decides.
    struct Case {
        int64_t age_s;
        const char* expected;
    };
    for (const Case& c : {Case{61, "数据已超时"}, Case{60, ""}, Case{-30, ""}, Case{3600, "数据已超时"}})
        EXPECT_EQ(verdict(f, true, kNoon - seconds(c.age_s)), c.expected) << c.age_s;
    // And when it stamps again, the device's own stamp governs once more.
    FakeClocks::local = {kNoon + seconds(7200), 0};
    f.stamp(stamped);
    EXPECT_EQ(verdict(f, true, stamped), "");
}

TEST(DataAge, NoDataOrNoStampIsNeverServed) {
    data_age::BasicFreshness<FakeClocks> f;
    FakeClocks::local = {kNoon, 0};
    EXPECT_EQ(verdict(f, false, kNoon), "数据未就绪");
    EXPECT_EQ(verdict(f, true, ptime()), "数据已超时");
}

}  // namespace
