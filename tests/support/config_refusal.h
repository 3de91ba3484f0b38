#pragma once
// What reading a configuration says of it: the ConfigError's text, "" when
// the reading accepts it.
#include <functional>
#include <string>

#include "host/voka-host/config/config_error.h"

inline std::string config_refusal(const std::function<void()>& read) {
    try {
        read();
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "";
}
