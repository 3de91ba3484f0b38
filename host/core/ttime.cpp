#include "host/interface/ttime.h"

ttime_bytes get_ttime(boost::posix_time::ptime t) {
    if (t.is_special()) return {};
    const auto date = t.date();
    const auto time = t.time_of_day();
    const auto year = static_cast<unsigned>(date.year());
    return {static_cast<uint8_t>(year & 0xFF), static_cast<uint8_t>(year >> 8),
            static_cast<uint8_t>(date.month().as_number()), static_cast<uint8_t>(date.day().as_number()),
            static_cast<uint8_t>(time.hours()), static_cast<uint8_t>(time.minutes()),
            static_cast<uint8_t>(time.seconds())};
}
