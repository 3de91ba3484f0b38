#pragma once
// The host's record time stamp, 7 bytes:
//   0..1 year, little-endian; 2 month (1-12); 3 day (1-31);
//   4 hour (0-23); 5 minute; 6 second.
// A time that is not a date (not_a_date_time, infinities) gives 7 zero bytes.
#include <array>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

using ttime_bytes = std::array<uint8_t, 7>;

ttime_bytes get_ttime(boost::posix_time::ptime t);
