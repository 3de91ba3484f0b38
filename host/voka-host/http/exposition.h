#pragma once
// The Prometheus text exposition format, version 0.0.4: families added in
// any order come out each with its # HELP and # TYPE once and all its
// samples together; label values and help texts are escaped.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

using Labels = std::vector<std::pair<std::string_view, std::string>>;

class Exposition {
public:
    enum class Type { gauge, counter };

    // A sample of family `name`; the family is declared by its first sample,
    // and a later one with another type or help keeps the first.
    void add(std::string_view name, Type type, std::string_view help, const Labels& labels, double value);
    std::string text() const;

private:
    struct Family {
        std::string name;
        Type type;
        std::string help;
        std::string samples;  // its sample lines, in the order added
    };
    std::vector<Family> families_;
};

// A label value or help text as the format carries it: \\, \" (label values only) and \n escaped.
std::string escape_label_value(std::string_view value);
std::string escape_help(std::string_view help);
// A sample value: the shortest text that reads back to the same double; NaN, +Inf, -Inf.
std::string sample_value(double value);
