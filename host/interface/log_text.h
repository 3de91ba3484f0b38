#pragma once
// Turns log arguments into text inside the plug-in, so that the plug-in needs
// no formatting library: numbers in decimal (an 8-bit count is a number, not a
// character), floats in their shortest exact form, strings as they are.
#include <charconv>
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace host_log {

inline std::string text_of(std::string_view s) { return std::string(s); }
inline std::string text_of(const char* s) { return s ? std::string(s) : std::string("(null)"); }
inline std::string text_of(bool b) { return b ? "true" : "false"; }

template <std::integral T>
    requires(!std::same_as<T, bool>)
std::string text_of(T value) {
    // Promote so that uint8_t and char print as numbers.
    if constexpr (std::is_signed_v<T>)
        return std::to_string(static_cast<long long>(value));
    else
        return std::to_string(static_cast<unsigned long long>(value));
}

template <std::floating_point T>
std::string text_of(T value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

template <class T>
    requires std::is_enum_v<T>
std::string text_of(T value) {
    return text_of(static_cast<std::underlying_type_t<T>>(value));
}

}  // namespace host_log
