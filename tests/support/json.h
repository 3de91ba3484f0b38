#pragma once
#include <memory>
#include <stdexcept>
#include <string>

#include <json/reader.h>

// Parses a JSON text for a test; a malformed text is a fault in the test.
inline Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        throw std::invalid_argument("bad test JSON: " + errors);
    return value;
}
