#include "host/voka-host/config/schema.h"

#include <cmath>

#include <fmt/format.h>

namespace schema {

namespace {

std::string range_text(const Key& key) {
    if (key.type == Type::integer) return fmt::format("from {} to {}", static_cast<long long>(key.lo), static_cast<long long>(key.hi));
    if (std::isinf(key.hi)) return fmt::format("of {} or more", key.lo);
    return fmt::format("from {} to {}", key.lo, key.hi);
}

}  // namespace

std::string rule_text(const Key& key) {
    if (key.rule_of) return key.rule_of();
    if (*key.rule) return key.rule;
    switch (key.type) {
        case Type::string: return "a non-empty string";
        case Type::integer: return "an integer " + range_text(key);
        case Type::number: return key.lo == key.hi ? "a number" : "a number " + range_text(key);
        case Type::boolean: return "true or false";
        case Type::object: return "an object";
        case Type::array: return key.lo >= 1 ? "a non-empty array" : "an array";
        case Type::secret: return "a file name or {\"credential\": \"NAME\"}";
    }
    return "";
}

namespace {

bool in_range(const Key& key, double v) { return key.lo == key.hi || (v >= key.lo && v <= key.hi); }

bool fits(const Key& key, const Json::Value& v) {
    switch (key.type) {
        case Type::string: return v.isString() && !v.asString().empty();
        case Type::integer: return v.isIntegral() && v.isInt64() && in_range(key, static_cast<double>(v.asInt64()));
        case Type::number: return v.isNumeric() && in_range(key, v.asDouble());
        case Type::boolean: return v.isBool();
        case Type::object: return v.isObject();
        case Type::array: return v.isArray() && v.size() >= key.lo;
        case Type::secret: return (v.isString() && !v.asString().empty()) || v.isObject();
    }
    return false;
}

std::string known_keys(const Section& section) {
    std::string names;
    for (const Key& key : section.keys) names += (names.empty() ? "" : ", ") + std::string(key.name);
    return names;
}

std::string problem_line(const std::string& source, const std::string& place, const std::string& what) {
    return fmt::format("{}: {}: {}", source, place, what);
}

std::string path_of(const std::string& place, const char* key) { return place.empty() ? key : place + "." + key; }

}  // namespace

const Key* Section::find(const std::string& key_name) const {
    for (const Key& key : keys)
        if (key_name == key.name) return &key;
    return nullptr;
}

void Problems::add(const std::string& place, const std::string& what) { lines_.push_back(problem_line(source_, place, what)); }

void Problems::add_lines(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines_.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void Problems::throw_if_any() const {
    if (lines_.empty()) return;
    std::string text;
    for (const std::string& line : lines_) text += (text.empty() ? "" : "\n") + line;
    throw ConfigError(text);
}

void refuse(const std::string& source, const std::string& place, const std::string& what) {
    throw ConfigError(problem_line(source, place, what));
}

void check(const Json::Value& object, const Section& section, const std::string& place, Problems& problems) {
    if (!object.isObject()) {
        problems.add(place.empty() ? "(top)" : place, place.empty() ? "must be a JSON object" : "must be an object");
        return;
    }
    for (const std::string& name : object.getMemberNames())
        if (!section.find(name))
            problems.add(path_of(place, name.c_str()),
                         fmt::format("is not a key of {} ({})", section.name, known_keys(section)));
    for (const Key& key : section.keys) {
        const std::string path = path_of(place, key.name);
        if (!object.isMember(key.name)) {
            if (key.required) problems.add(path, *key.missing ? fmt::format("is missing ({})", key.missing) : "is missing");
            continue;
        }
        const Json::Value& v = object[key.name];
        if (!fits(key, v) || (key.accepts && !key.accepts(v))) {
            problems.add(path, "must be " + rule_text(key));
            continue;
        }
        if (!key.inner || key.own_reader) continue;
        if (key.type == Type::object) check(v, *key.inner, path, problems);
        if (key.type == Type::array)
            for (Json::ArrayIndex i = 0; i < v.size(); ++i) check(v[i], *key.inner, fmt::format("{}[{}]", path, i), problems);
    }
}

const char* reload_text(Reload reload) {
    switch (reload) {
        case Reload::applied: return "applied";
        case Reload::restarts_power_system: return "restarts that power system";
        case Reload::next_start: return "next start";
    }
    return "";
}

}  // namespace schema
