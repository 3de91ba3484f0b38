#pragma once
// Asking a device for a value the way the host does, with the answer or the
// refusal's text as the result.
#include <stdexcept>
#include <string>
#include <variant>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "plugin/shared/data_age.h"
#include "host/interface/ztx_vdevice.h"

// What Get_Value answered: a value or the text of the refusal.
using Answer = std::variant<float, std::string>;

inline Answer ask(const VDeviceInterface& dev, const std::string& key) {
    try {
        return dev.Get_Value(0, key);
    } catch (const std::out_of_range& e) {
        return std::string(e.what());
    }
}

// Asks with last_update placed `age_s` seconds before now; retried if the
// clock's second turned meanwhile, so that the age is exact. Now is read from
// the clock the device reads: second_clock goes by time(), whose coarse clock
// can still show the last second for a moment after the device's has turned.
inline Answer ask_at_age(ZTXVDevice& dev, const std::string& key, long age_s) {
    using data_age::SystemClocks;
    Answer answer;
    for (int tries = 0; tries < 5; ++tries) {
        const auto now = SystemClocks::local_now().time;
        dev.last_update = now - boost::posix_time::seconds(age_s);
        answer = ask(dev, key);
        if (SystemClocks::local_now().time == now) break;
    }
    return answer;
}
