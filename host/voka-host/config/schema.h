#pragma once
// The site file described once: each section lists its keys with their type,
// range, default, help and what a reload does with a change. Readers check a
// section against its description before they take values from it, the key
// table (`voka-host config keys`) is printed from it, and the reload decision
// (site_changes.h) looks a changed key up in it.
//
// A section owns its keys as a plug-in of collectd owns its block: history,
// http and mqtt describe theirs beside their readers, a power system's (the
// master's included: it receives its element whole) beside the members that
// keep them (power_system_config.h), the site file's own in site_config.cpp.
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <json/value.h>

#include "host/voka-host/config/config_error.h"

namespace schema {

// `secret`: a file name, or {"credential": "NAME"} (secret_file.h checks which).
enum class Type { string, integer, number, boolean, object, array, secret };

// What a reload of the site file does with a changed value.
enum class Reload {
    applied,               // at once, nothing restarted
    restarts_power_system, // that power system is stopped and started again
    next_start,            // kept until voka-host starts again
};

// Who reads the key: voka-host, or the plug-in's master (handed the element whole).
enum class Reader { host, plugin, both };

struct Section;

struct Key {
    const char* name;
    Type type;
    const char* help;
    Reload reload;
    Reader reader = Reader::host;
    const char* default_text = "";  // as the table shows it; "" with `required`
    double lo = 0, hi = 0;          // integer, number: the range (lo == hi: any); array: lo is the least size
    bool required = false;
    const char* missing = "";       // why a required key is needed, added to "is missing"
    // A further rule the value must meet, and how it reads after "must be"
    // (that text also replaces the type's own in every refusal of the key).
    bool (*accepts)(const Json::Value&) = nullptr;
    const char* rule = "";
    std::string (*rule_of)() = nullptr;  // the rule's text made from another fact, in place of `rule`
    const Section* inner = nullptr;  // object: its keys; array: each element's
    bool own_reader = false;         // its section's reader checks inside it
    // A key voka-host keeps: stores a checked value in the member that holds
    // it (`.fill = schema::into<&PowerSystemConfig::retries>`), so that the
    // description, the member and its default are the only places a key has.
    void (*fill)(const Json::Value& value, void* config) = nullptr;
};

struct Section {
    const char* name;  // in unknown-key refusals
    std::span<const Key> keys;
    const Key* find(const std::string& key_name) const;  // nullptr: no such key
};

// The problems of one file, gathered so that all of them are told at once.
class Problems {
public:
    explicit Problems(std::string source) : source_(std::move(source)) {}
    // One problem at `place` (a key's path, "(top)", "(file)").
    void add(const std::string& place, const std::string& what);
    // Runs `read`, keeping the problems of a ConfigError it throws.
    template <class Read>
    void collect(Read&& read) {
        try {
            read();
        } catch (const ConfigError& e) {
            add_lines(e.what());
        }
    }
    bool empty() const { return lines_.empty(); }
    // Throws one ConfigError with every problem, a line each, in the order found.
    void throw_if_any() const;

private:
    void add_lines(const std::string& text);
    std::string source_;
    std::vector<std::string> lines_;
};

// Throws a ConfigError of one problem: "<source>: <place>: <what>".
[[noreturn]] void refuse(const std::string& source, const std::string& place, const std::string& what);

// Checks `object` at `place` ("" for the file's top) against `section`:
// unknown keys, missing required ones, types, ranges and rules, inside
// objects and arrays too (except where a key's own reader checks). Every
// problem goes to `problems`.
void check(const Json::Value& object, const Section& section, const std::string& place, Problems& problems);

// What a value of `key` must be, as refusals say after "must be".
std::string rule_text(const Key& key);

template <class T>
struct MemberOf;
template <class Class, class Field>
struct MemberOf<Field Class::*> {
    using Owner = Class;
    using Type = Field;
};

// Key::fill for the member `Member`: the value has been checked against its key.
template <auto Member>
void into(const Json::Value& value, void* config) {
    using Field = typename MemberOf<decltype(Member)>::Type;
    Field& field = static_cast<typename MemberOf<decltype(Member)>::Owner*>(config)->*Member;
    if constexpr (std::is_same_v<Field, int>) field = value.asInt();
    else if constexpr (std::is_same_v<Field, unsigned>) field = value.asUInt();
    else field = value.asString();  // std::string, std::optional<std::string>
}

// Stores each key of `section` that `object` has and that has a fill into
// `config`, which must be of the class its keys' members belong to.
template <class Config>
void fill(const Json::Value& object, const Section& section, Config& config) {
    for (const Key& key : section.keys)
        if (key.fill && object.isMember(key.name)) key.fill(object[key.name], &config);
}

// The table of every key below `top`, in Markdown: path, type, values,
// default, reader, reload, help.
std::string key_table(const Section& top);

const char* reload_text(Reload reload);

}  // namespace schema
