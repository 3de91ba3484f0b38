#pragma once
// Asking a device for a value the way the host does, with the answer or the
// refusal's text as the result.
#include <stdexcept>
#include <string>
#include <variant>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/ztx_vdevice.h"

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
// clock's second turned meanwhile, so that the age is exact.
inline Answer ask_at_age(ZTXVDevice& dev, const std::string& key, long age_s) {
    using boost::posix_time::second_clock;
    Answer answer;
    for (int tries = 0; tries < 5; ++tries) {
        const auto now = second_clock::local_time();
        dev.last_update = now - boost::posix_time::seconds(age_s);
        answer = ask(dev, key);
        if (second_clock::local_time() == now) break;
    }
    return answer;
}
