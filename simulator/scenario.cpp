#include "simulator/scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <span>
#include <sstream>
#include <utility>

#include <fmt/format.h>
#include <json/reader.h>
#include <json/writer.h>

#include "host/line/frame_codec.h"

namespace sim {
namespace {

// A problem found somewhere in the document; the file name is added at the top.
struct Problem {
    std::string place;
    std::string problem;
};

[[noreturn]] void fail(std::string place, std::string problem) { throw Problem{std::move(place), std::move(problem)}; }

// One step of a path into the site: a member name or a list index.
struct Step {
    std::string name;  // empty for an index
    size_t index = 0;
    bool is_index() const { return name.empty(); }
};
using Path = std::span<const Step>;

std::string place_of(const std::string& place, const Step& step) {
    return step.is_index() ? fmt::format("{}[{}]", place, step.index) : fmt::format("{}.{}", place, step.name);
}

// "modules[1].fault" -> modules, [1], fault. Names are letters, digits and '_'.
std::vector<Step> parse_path(const std::string& text, const std::string& place) {
    std::vector<Step> steps;
    size_t i = 0;
    const auto bad = [&](std::string_view what) {
        fail(place, fmt::format("path \"{}\": {} at character {}", text, what, i + 1));
    };
    const auto name_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (;;) {
        const size_t start = i;
        while (i < text.size() && name_char(text[i])) ++i;
        if (i == start) bad("expected a member name");
        steps.push_back({text.substr(start, i - start)});
        while (i < text.size() && text[i] == '[') {
            ++i;
            size_t index = 0;
            const auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), index);
            if (ec != std::errc{} || end == text.data() + i) bad("expected an index");
            i = static_cast<size_t>(end - text.data());
            if (i >= text.size() || text[i] != ']') bad("expected ']'");
            ++i;
            steps.push_back({std::string{}, index});
        }
        if (i == text.size()) return steps;
        if (text[i] != '.') bad("expected '.' or '['");
        ++i;
    }
}

// A short account of a JSON value for messages: scalars as written, else their kind.
std::string shown(const Json::Value& v) {
    if (v.isArray()) return "a list";
    if (v.isObject()) return "an object";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

bool is_number(const Json::Value& v) {
    return v.type() == Json::intValue || v.type() == Json::uintValue || v.type() == Json::realValue;
}

// An integer in [lo, hi]; `hex` also takes a string "0x..".
long long read_integer(const Json::Value& v, const std::string& place, long long lo, long long hi, bool hex = false) {
    long long n = 0;
    bool ok = false;
    if (v.isIntegral() && is_number(v)) {
        ok = v.isInt64();
        if (ok) n = v.asInt64();
    } else if (hex && v.isString()) {
        const std::string s = v.asString();
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            const auto [end, ec] = std::from_chars(s.data() + 2, s.data() + s.size(), n, 16);
            ok = ec == std::errc{} && end == s.data() + s.size();
        }
    }
    if (!ok || n < lo || n > hi)
        fail(place, fmt::format("expected an integer from {} to {}{}, got {}", lo, hi,
                                hex ? " (or a hex string such as \"0x11\")" : "", shown(v)));
    return n;
}

uint8_t read_byte(const Json::Value& v, const std::string& place) {
    return static_cast<uint8_t>(read_integer(v, place, 0, 255, true));
}

unsigned read_round(const Json::Value& v, const std::string& place) {
    return static_cast<unsigned>(read_integer(v, place, 0, std::numeric_limits<int>::max()));
}

float read_number(const Json::Value& v, const std::string& place) {
    const double d = is_number(v) ? v.asDouble() : NAN;
    if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
        fail(place, fmt::format("expected a number, got {}", shown(v)));
    return static_cast<float>(d);
}

std::string read_text(const Json::Value& v, const std::string& place) {
    if (!v.isString()) fail(place, fmt::format("expected a text, got {}", shown(v)));
    return v.asString();
}

// ---- setting a part of the site from a value, at the end of a path ----
//
// Every setter takes the object, the rest of the path into it, the value and
// the object's place. With the path used up, the value replaces the whole
// object; otherwise the setter goes one step further in.

void no_deeper(Path path, const std::string& place) {
    if (!path.empty()) fail(place_of(place, path.front()), "no such part: this value has no parts");
}

void set_number(float& out, Path path, const Json::Value& v, const std::string& place) {
    no_deeper(path, place);
    out = read_number(v, place);
}

void set_byte(uint8_t& out, Path path, const Json::Value& v, const std::string& place) {
    no_deeper(path, place);
    out = read_byte(v, place);
}

void set_model(char (&out)[21], Path path, const Json::Value& v, const std::string& place) {
    no_deeper(path, place);
    const std::string text = read_text(v, place);
    if (text.size() > 20) fail(place, fmt::format("at most 20 characters, got {}", text.size()));
    std::memset(out, 0, sizeof out);
    std::memcpy(out, text.data(), text.size());
}

// A list element, or the whole list (then `fresh` entries start from the model's defaults).
template <class T, class SetElement>
void set_list(std::vector<T>& list, Path path, const Json::Value& v, const std::string& place, size_t max,
              SetElement set_element) {
    if (path.empty()) {
        if (!v.isArray()) fail(place, fmt::format("expected a list, got {}", shown(v)));
        if (v.size() > max) fail(place, fmt::format("at most {} entries, got {}", max, v.size()));
        std::vector<T> fresh(v.size());
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) set_element(fresh[i], {}, v[i], fmt::format("{}[{}]", place, i));
        list = std::move(fresh);
        return;
    }
    const Step& step = path.front();
    if (!step.is_index()) fail(place_of(place, step), "no such part: expected an index, such as [0]");
    if (step.index >= list.size())
        fail(place_of(place, step), fmt::format("no such entry: the list has {}", list.size()));
    set_element(list[step.index], path.subspan(1), v, place_of(place, step));
}

// A fixed-size array: a whole list of exactly N entries (at least 1 when
// `partial`, the rest then 0), or one entry by index.
template <class T, size_t N, class SetElement>
void set_array(std::array<T, N>& array, Path path, const Json::Value& v, const std::string& place, bool partial,
               SetElement set_element) {
    if (path.empty()) {
        if (!v.isArray()) fail(place, fmt::format("expected a list, got {}", shown(v)));
        if (partial ? v.size() > N : v.size() != N)
            fail(place, fmt::format("expected {}{} entries, got {}", partial ? "at most " : "", N, v.size()));
        std::array<T, N> fresh{};
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) set_element(fresh[i], {}, v[i], fmt::format("{}[{}]", place, i));
        array = fresh;
        return;
    }
    const Step& step = path.front();
    if (!step.is_index()) fail(place_of(place, step), "no such part: expected an index, such as [0]");
    if (step.index >= N) fail(place_of(place, step), fmt::format("no such entry: the list has {}", N));
    set_element(array[step.index], path.subspan(1), v, place_of(place, step));
}

template <class T>
struct Member {
    std::string_view name;
    std::function<void(T&, Path, const Json::Value&, const std::string&)> set;
};

template <class T, class F, class Set>
Member<T> field(std::string_view name, F T::*member, Set set) {
    return {name, [member, set](T& object, Path path, const Json::Value& v, const std::string& place) {
                set(object.*member, path, v, place);
            }};
}

// Members given in an object set those members; the rest keep their values.
template <class T>
void set_object(T& object, const std::vector<Member<T>>& members, Path path, const Json::Value& v,
                const std::string& place) {
    if (path.empty()) {
        if (!v.isObject()) fail(place, fmt::format("expected an object, got {}", shown(v)));
        for (const std::string& key : v.getMemberNames()) {
            const Step step{key};
            set_object(object, members, Path(&step, 1), v[key], place);
        }
        return;
    }
    const Step& step = path.front();
    if (step.is_index()) fail(place_of(place, step), "no such part: this is not a list");
    for (const Member<T>& m : members)
        if (m.name == step.name) return m.set(object, path.subspan(1), v, place_of(place, step));
    std::string known;
    for (const Member<T>& m : members) known += fmt::format("{}{}", known.empty() ? "" : ", ", m.name);
    fail(place_of(place, step), fmt::format("unknown member; known here: {}", known));
}

const auto bytes = [](auto& array, Path path, const Json::Value& v, const std::string& place) {
    set_array(array, path, v, place, false, set_byte);
};
const auto numbers = [](auto& array, Path path, const Json::Value& v, const std::string& place) {
    set_array(array, path, v, place, false, set_number);
};

void set_channel(AcChannel& ch, Path path, const Json::Value& v, const std::string& place) {
    static const std::vector<Member<AcChannel>> members = {
        field("a", &AcChannel::a, set_number), field("b", &AcChannel::b, set_number),
        field("c", &AcChannel::c, set_number), field("f", &AcChannel::f, set_number),
        field("alerts", &AcChannel::alerts, bytes),
    };
    set_object(ch, members, path, v, place);
}

void set_ac_unit(AcUnit& unit, Path path, const Json::Value& v, const std::string& place) {
    static const std::vector<Member<AcUnit>> members = {
        field("channels", &AcUnit::channels,
              [](auto& list, Path p, const Json::Value& value, const std::string& w) {
                  set_list(list, p, value, w, 255, set_channel);
              }),
        field("ia", &AcUnit::ia, set_number),
        field("ib", &AcUnit::ib, set_number),
        field("ic", &AcUnit::ic, set_number),
        field("current_alerts", &AcUnit::current_alerts, bytes),
        field("airlocks", &AcUnit::airlocks,
              [](auto& list, Path p, const Json::Value& value, const std::string& w) {
                  set_list(list, p, value, w, 255, set_byte);
              }),
    };
    set_object(unit, members, path, v, place);
}

void set_dc_unit(DcUnit& unit, Path path, const Json::Value& v, const std::string& place) {
    static const std::vector<Member<DcUnit>> members = {
        field("v", &DcUnit::v, set_number),
        field("i", &DcUnit::i, set_number),
        field("battery_currents", &DcUnit::battery_currents,
              [](auto& list, Path p, const Json::Value& value, const std::string& w) {
                  set_list(list, p, value, w, 255, set_number);
              }),
        field("v_state", &DcUnit::v_state, set_byte),
    };
    set_object(unit, members, path, v, place);
}

void set_module(RectifierModule& m, Path path, const Json::Value& v, const std::string& place) {
    static const std::vector<Member<RectifierModule>> members = {
        field("current", &RectifierModule::current, set_number),
        field("user_value", &RectifierModule::user_value, set_number),
        field("status", &RectifierModule::status, bytes),
        field("user_status", &RectifierModule::user_status, set_byte),
        field("fault", &RectifierModule::fault, set_byte),
    };
    set_object(m, members, path, v, place);
}

void set_site(Site& site, Path path, const Json::Value& v, const std::string& place) {
    const auto list_of = [](auto set_element) {
        return [set_element](auto& list, Path p, const Json::Value& value, const std::string& w) {
            set_list(list, p, value, w, 255, set_element);
        };
    };
    static const std::vector<Member<Site>> members = {
        field("ac_dataflag", &Site::ac_dataflag, set_byte),
        field("rc_dataflag", &Site::rc_dataflag, set_byte),
        field("dc_dataflag", &Site::dc_dataflag, set_byte),
        field("ac", &Site::ac, list_of(set_ac_unit)),
        field("dc", &Site::dc, list_of(set_dc_unit)),
        field("output_voltage", &Site::output_voltage, set_number),
        field("modules", &Site::modules, list_of(set_module)),
        field("ac_params", &Site::ac_params, numbers),
        field("dc_params", &Site::dc_params, numbers),
        field("user_params", &Site::user_params,
              [](auto& array, Path p, const Json::Value& value, const std::string& w) {
                  set_array(array, p, value, w, true, set_byte);
              }),
        field("model", &Site::model, set_model),
    };
    set_object(site, members, path, v, place);
}

// Applies one change's "set" object to `site`.
void apply(Site& site, const Change& change) {
    for (const std::string& key : change.set.getMemberNames()) {
        const std::vector<Step> path = parse_path(key, change.place);
        set_site(site, path, change.set[key], change.place);
    }
}

// ---- the rest of the document ----

// Calls `take(key, value, place)` for each member; an unknown one is a problem.
void read_members(const Json::Value& v, const std::string& place, std::initializer_list<std::string_view> known,
                  const std::function<void(const std::string&, const Json::Value&, const std::string&)>& take) {
    if (!v.isObject()) fail(place, fmt::format("expected an object, got {}", shown(v)));
    for (const std::string& key : v.getMemberNames()) {
        const std::string here = place.empty() ? key : place + "." + key;
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            std::string names;
            for (std::string_view k : known) names += fmt::format("{}{}", names.empty() ? "" : ", ", k);
            fail(here, fmt::format("unknown member; known here: {}", names));
        }
        take(key, v[key], here);
    }
}

Equipment read_equipment(const Json::Value& v, const std::string& place) {
    Equipment e;
    read_members(v, place, {"address", "command_set", "baud_rate", "answer_delay_ms", "host_retries"},
                 [&](const std::string& key, const Json::Value& value, const std::string& here) {
                     if (key == "address") e.address = read_byte(value, here);
                     if (key == "baud_rate") e.baud_rate = static_cast<int>(read_integer(value, here, 50, 4'000'000));
                     if (key == "host_retries")
                         e.host_retries = static_cast<unsigned>(read_integer(value, here, 0, 10));
                     if (key == "answer_delay_ms")
                         e.answer_delay_ms = static_cast<int>(read_integer(value, here, 0, 60'000));
                     if (key == "command_set") {
                         const std::string set = read_text(value, here);
                         if (set != "voka" && set != "general")
                             fail(here, fmt::format("expected \"voka\" or \"general\", got {}", shown(value)));
                         e.command_set = set == "voka" ? CommandSet::voka : CommandSet::general;
                     }
                 });
    return e;
}

// from_round and until_round of a change or a fault.
void check_range(RoundRange& r, const std::string& place) {
    if (r.until && *r.until < r.from)
        fail(place + ".until_round", fmt::format("round {} comes before from_round {}", *r.until, r.from));
}

std::vector<Change> read_changes(const Json::Value& v) {
    if (!v.isArray()) fail("changes", fmt::format("expected a list, got {}", shown(v)));
    std::vector<Change> changes;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        const std::string place = fmt::format("changes[{}]", i);
        Change c;
        c.place = place + ".set";
        read_members(v[i], place, {"from_round", "until_round", "set"},
                     [&](const std::string& key, const Json::Value& value, const std::string& here) {
                         if (key == "from_round") c.rounds.from = read_round(value, here);
                         if (key == "until_round") c.rounds.until = read_round(value, here);
                         if (key == "set") c.set = value;
                     });
        if (!c.set.isObject() || c.set.empty())
            fail(c.set.isNull() ? place : c.place, "expected \"set\": an object of at least one path and value");
        for (const std::string& key : c.set.getMemberNames()) parse_path(key, c.place);
        check_range(c.rounds, place);
        changes.push_back(std::move(c));
    }
    return changes;
}

constexpr std::pair<std::string_view, FaultKind> kFaultKinds[] = {
    {"bad_checksum", FaultKind::bad_checksum}, {"no_answer", FaultKind::no_answer},
    {"wrong_unit_count", FaultKind::wrong_unit_count}, {"noise", FaultKind::noise},
    {"truncated", FaultKind::truncated}, {"error_rtn", FaultKind::error_rtn}, {"delay", FaultKind::delay},
};

std::vector<Fault> read_faults(const Json::Value& v) {
    if (!v.isArray()) fail("faults", fmt::format("expected a list, got {}", shown(v)));
    std::vector<Fault> faults;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        const std::string place = fmt::format("faults[{}]", i);
        const Json::Value& f = v[i];
        if (!f.isObject()) fail(place, fmt::format("expected an object, got {}", shown(f)));
        const Json::Value& kind = f["kind"];
        if (kind.isNull()) fail(place, "expected \"kind\"");
        Fault fault;
        const std::string kind_text = read_text(kind, place + ".kind");
        const auto found = std::find_if(std::begin(kFaultKinds), std::end(kFaultKinds),
                                        [&](const auto& k) { return k.first == kind_text; });
        if (found == std::end(kFaultKinds)) {
            std::string names;
            for (const auto& k : kFaultKinds) names += fmt::format("{}{}", names.empty() ? "" : ", ", k.first);
            fail(place + ".kind", fmt::format("unknown fault {}; known: {}", shown(kind), names));
        }
        fault.kind = found->second;
        // Each option belongs to one kind: given with another, it is a mistake.
        const auto option_of = [&](std::string_view option, FaultKind owner, const std::string& here) {
            if (fault.kind != owner)
                fail(here, fmt::format("{} applies only to {} faults", option, to_string(owner)));
        };
        read_members(f, place,
                     {"kind", "from_round", "until_round", "cid1", "cid2", "rtn", "unit_count", "noise_bytes",
                      "delay_ms", "answers"},
                     [&](const std::string& key, const Json::Value& value, const std::string& here) {
                         if (key == "from_round") fault.rounds.from = read_round(value, here);
                         if (key == "until_round") fault.rounds.until = read_round(value, here);
                         if (key == "cid1") fault.cid1 = read_byte(value, here);
                         if (key == "cid2") fault.cid2 = read_byte(value, here);
                         if (key == "rtn") {
                             option_of(key, FaultKind::error_rtn, here);
                             fault.rtn = static_cast<uint8_t>(read_integer(value, here, 1, 255, true));
                         }
                         if (key == "unit_count") {
                             option_of(key, FaultKind::wrong_unit_count, here);
                             fault.unit_count = read_byte(value, here);
                         }
                         if (key == "noise_bytes") {
                             option_of(key, FaultKind::noise, here);
                             fault.noise_bytes = static_cast<size_t>(read_integer(value, here, 1, 1024));
                         }
                         if (key == "answers")
                             fault.answers = static_cast<unsigned>(read_integer(value, here, 1, 1'000'000));
                         if (key == "delay_ms") {
                             option_of(key, FaultKind::delay, here);
                             fault.delay_ms = static_cast<int>(read_integer(value, here, 0, 60'000));
                         }
                     });
        if (fault.kind == FaultKind::delay && f["delay_ms"].isNull()) fail(place, "a delay fault needs \"delay_ms\"");
        check_range(fault.rounds, place);
        faults.push_back(fault);
    }
    return faults;
}

// Every round's site must be one the plug-in takes and whose answers fit a
// frame. The changes in force differ only where a range starts or has just
// ended, so those rounds stand for all the others.
void check_rounds(const Scenario& s) {
    std::set<unsigned> rounds = {0};
    for (const Change& c : s.changes) {
        rounds.insert(c.rounds.from);
        if (c.rounds.until && *c.rounds.until < std::numeric_limits<unsigned>::max()) rounds.insert(*c.rounds.until + 1);
    }
    for (unsigned round : rounds) {
        Site site = s.site;
        std::string last_place = "site";
        for (const Change& c : s.changes) {
            if (!c.rounds.holds(round)) continue;
            try {
                apply(site, c);
            } catch (Problem& p) {
                p.problem += fmt::format(" (in round {})", round);
                throw;
            }
            last_place = c.place;
        }
        const std::string when = last_place == "site" ? std::string("the site") : fmt::format("in round {} the site", round);
        if (const std::string why = validate_site(site, s.equipment.command_set); !why.empty())
            fail(last_place, fmt::format("{} would be refused: {}", when, why));
        for (const protocol::Command& c : protocol::commands(s.equipment.command_set)) {
            const auto info = answer_info(site, s.equipment.command_set, c.cid1, c.cid2);
            if (info && info->size() > frame::kMaxInfoBytes)
                fail(last_place, fmt::format("{}: the answer to CID1 0x{:02X} CID2 0x{:02X} needs {} INFO bytes, "
                                             "more than a frame carries ({})",
                                             when, c.cid1, c.cid2, info->size(), frame::kMaxInfoBytes));
        }
    }
}

Scenario read_scenario(const Json::Value& root, const std::string& file) {
    Scenario s;
    s.file = file;
    read_members(root, "", {"description", "equipment", "site", "changes", "faults"},
                 [&](const std::string& key, const Json::Value& value, const std::string& here) {
                     if (key == "description") read_text(value, here);
                     if (key == "equipment") s.equipment = read_equipment(value, here);
                     if (key == "site") set_site(s.site, {}, value, here);
                     if (key == "changes") s.changes = read_changes(value);
                     if (key == "faults") s.faults = read_faults(value);
                 });
    check_rounds(s);
    return s;
}

}  // namespace

std::string_view to_string(FaultKind kind) {
    for (const auto& [name, k] : kFaultKinds)
        if (k == kind) return name;
    return "unknown";
}

ScenarioError::ScenarioError(std::string file, std::string place, std::string problem)
    : std::runtime_error(place.empty() ? fmt::format("{}: {}", file, problem)
                                       : fmt::format("{}: {}: {}", file, place, problem)),
      file_(std::move(file)),
      place_(std::move(place)),
      problem_(std::move(problem)) {}

Site Scenario::site_at(unsigned round) const {
    Site s = site;
    try {
        for (const Change& c : changes)
            if (c.rounds.holds(round)) apply(s, c);
    } catch (const Problem& p) {  // only for a scenario not made by parse_scenario()
        throw ScenarioError(file, p.place, p.problem);
    }
    return s;
}

Scenario parse_scenario(std::string_view json_text, const std::string& file) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(json_text.data(), json_text.data() + json_text.size(), &root, &errors);
    } catch (const std::exception& e) {  // jsoncpp throws for input nested too deeply
        throw ScenarioError(file, "text", e.what());
    }
    if (!parsed) {
        // jsoncpp's first message: "* Line L, Column C\n  problem\n".
        unsigned line = 0, column = 0;
        std::string place = "text", problem = errors;
        if (std::sscanf(errors.c_str(), "* Line %u, Column %u", &line, &column) == 2) {
            place = fmt::format("line {}, column {}", line, column);
            const size_t start = errors.find("\n  ");
            if (start != std::string::npos) problem = errors.substr(start + 3, errors.find('\n', start + 3) - start - 3);
        }
        throw ScenarioError(file, place, problem);
    }
    try {
        return read_scenario(root, file);
    } catch (const Problem& p) {
        throw ScenarioError(file, p.place, p.problem);
    } catch (const Json::Exception& e) {  // a value jsoncpp cannot convert
        throw ScenarioError(file, "", e.what());
    }
}

Scenario load_scenario(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path, "", fmt::format("cannot read: {}", std::strerror(errno)));
    std::ostringstream text;
    text << in.rdbuf();
    return parse_scenario(text.str(), path);
}

}  // namespace sim
