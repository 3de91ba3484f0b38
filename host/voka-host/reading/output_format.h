#pragma once
// How `voka-host history` and `voka-host alarms --log` write what they read.
#include <optional>
#include <string_view>

enum class OutputFormat { text, json, csv };

inline std::optional<OutputFormat> output_format_named(std::string_view name) {
    if (name == "text") return OutputFormat::text;
    if (name == "json") return OutputFormat::json;
    if (name == "csv") return OutputFormat::csv;
    return std::nullopt;
}
