#pragma once
// The freshness rule every value lookup applies before it looks at the key:
// no data yet answers "数据未就绪"; data 61 seconds or more older than the
// local clock (both read to the second) answers "数据已超时". A clock set back
// (negative age) counts as fresh.
#include <cstdint>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace data_age {

inline constexpr int64_t kStaleAfterSeconds = 61;

inline void require_servable(bool data_valid, boost::posix_time::ptime last_update) {
    if (!data_valid) throw std::out_of_range("数据未就绪");
    // A device that says it has data but was never stamped cannot vouch for its age.
    if (last_update.is_special()) throw std::out_of_range("数据已超时");
    const int64_t age = (boost::posix_time::second_clock::local_time() - last_update).total_seconds();
    if (age >= kStaleAfterSeconds) throw std::out_of_range("数据已超时");
}

}  // namespace data_age
