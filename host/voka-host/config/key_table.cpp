// The key table, printed by `voka-host config keys` and shown in the README.
#include <cmath>

#include <fmt/format.h>

#include "host/voka-host/config/schema.h"

namespace schema {

namespace {

const char* type_text(const Key& key) {
    switch (key.type) {
        case Type::string: return "string";
        case Type::integer: return "integer";
        case Type::number: return "number";
        case Type::boolean: return "true/false";
        case Type::object: return "object";
        case Type::array: return "array";
        case Type::secret: return "file or credential";
    }
    return "";
}

std::string values_text(const Key& key) {
    if (key.rule_of || *key.rule) return rule_text(key);
    if (key.lo == key.hi) return "";
    if (key.type == Type::integer)
        return fmt::format("{} to {}", static_cast<long long>(key.lo), static_cast<long long>(key.hi));
    if (key.type == Type::number) return std::isinf(key.hi) ? fmt::format("{} or more", key.lo) : fmt::format("{} to {}", key.lo, key.hi);
    if (key.type == Type::array && key.lo >= 1) return "not empty";
    return "";
}

const char* reader_text(Reader reader) {
    switch (reader) {
        case Reader::host: return "voka-host";
        case Reader::plugin: return "plug-in";
        case Reader::both: return "both";
    }
    return "";
}

void rows(const Section& section, const std::string& place, std::string& out) {
    for (const Key& key : section.keys) {
        const std::string path = place.empty() ? key.name : place + "." + key.name;
        out += fmt::format("| `{}` | {} | {} | {} | {} | {} | {} |\n", path, type_text(key), values_text(key),
                           key.required ? "required" : key.default_text, reader_text(key.reader),
                           reload_text(key.reload), key.help);
        if (key.inner) rows(*key.inner, key.type == Type::array ? path + "[]" : path, out);
    }
}

}  // namespace

std::string key_table(const Section& top) {
    std::string out = "| Key | Type | Values | Default | Read by | A reload | What |\n|---|---|---|---|---|---|---|\n";
    rows(top, "", out);
    return out;
}

}  // namespace schema
