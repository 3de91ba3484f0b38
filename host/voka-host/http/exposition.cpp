#include "host/voka-host/http/exposition.h"

#include <cmath>

#include <fmt/format.h>

namespace {

std::string escaped(std::string_view s, bool quote) {
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '"' && quote) out += "\\\"";
        else out += c;
    }
    return out;
}

}  // namespace

std::string escape_label_value(std::string_view value) { return escaped(value, true); }
std::string escape_help(std::string_view help) { return escaped(help, false); }

std::string sample_value(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    return fmt::format("{}", v);
}

void Exposition::add(std::string_view name, Type type, std::string_view help, const Labels& labels, double value) {
    Family* family = nullptr;
    for (Family& f : families_)  // a few dozen families: a scan beats a map here
        if (f.name == name) family = &f;
    if (!family) family = &families_.emplace_back(Family{std::string(name), type, std::string(help), {}});
    std::string& out = family->samples;
    out += name;
    if (!labels.empty()) {
        out += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i) out += ',';
            out += labels[i].first;
            out += "=\"";
            out += escape_label_value(labels[i].second);
            out += '"';
        }
        out += '}';
    }
    out += ' ';
    out += sample_value(value);
    out += '\n';
}

std::string Exposition::text() const {
    std::string out;
    for (const Family& f : families_) {
        out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", f.name, escape_help(f.help), f.name,
                           f.type == Type::gauge ? "gauge" : "counter");
        out += f.samples;
    }
    return out;
}
