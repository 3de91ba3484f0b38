#pragma once
// One CSV field: quoted when it holds a separator, a quote or a line break.
#include <string>
#include <string_view>

inline std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}
