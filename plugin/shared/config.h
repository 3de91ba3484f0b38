#pragma once
// Reading a device's optional settings without throwing: jsoncpp's const
// operator[] throws on a value that is neither an object nor null, and
// asString() throws on arrays and objects. A setting of the wrong shape is
// treated as absent, so the device keeps its default.
#include <cstdlib>
#include <optional>
#include <string>

#include <json/value.h>

namespace device_config {

// The member `key` of `v`, or nullptr when `v` is not an object or lacks it.
inline const Json::Value* member(const Json::Value& v, const char* key) {
    if (v.type() != Json::objectValue || !v.isMember(key)) return nullptr;
    return &v[key];
}

// The setting's string form converted as atof does (a present null reads as
// 0.0); nothing for an array or an object.
inline std::optional<float> as_atof(const Json::Value& v) {
    if (v.type() == Json::arrayValue || v.type() == Json::objectValue) return std::nullopt;
    return static_cast<float>(std::atof(v.asString().c_str()));
}

}  // namespace device_config
