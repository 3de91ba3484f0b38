#include "host/voka-host/http/metric_families.h"

#include <fmt/format.h>

namespace {

struct Stem {
    RecordKind kind;
    std::string_view reading;  // the reading's name in the record
    std::string_view stem;     // the family's name before its unit
    std::string_view help;
};

// Readings a family name could not be read off: phase currents, line
// voltages, the DC bus. Any reading not listed here is named from its kind
// and its own name.
constexpr Stem kStems[] = {
    {RecordKind::ac, "ia", "ac_current", "AC phase current"},
    {RecordKind::ac, "ib", "ac_current", "AC phase current"},
    {RecordKind::ac, "ic", "ac_current", "AC phase current"},
    {RecordKind::ac, "a", "ac_voltage", "AC input voltage of a channel (phase 0, 1, 2: lines AB, BC, CA)"},
    {RecordKind::ac, "b", "ac_voltage", "AC input voltage of a channel (phase 0, 1, 2: lines AB, BC, CA)"},
    {RecordKind::ac, "c", "ac_voltage", "AC input voltage of a channel (phase 0, 1, 2: lines AB, BC, CA)"},
    {RecordKind::ac, "f", "ac_frequency", "AC input frequency of a channel"},
    {RecordKind::dc, "v", "dc_voltage", "DC bus voltage"},
    {RecordKind::dc, "i", "dc_current", "DC load current"},
    {RecordKind::dc, "battery_currents", "battery_current", "Battery string current"},
    {RecordKind::rectifier, "output_voltage", "rectifier_output_voltage", "Rectifier output voltage"},
    {RecordKind::rectifier, "current", "rectifier_module_current", "Output current of a rectifier module"},
    {RecordKind::rectifier, "ac_params", "rectifier_ac_parameter", "Rectifier AC parameter, by position"},
    {RecordKind::rectifier, "dc_params", "rectifier_dc_parameter", "Rectifier DC parameter, by position"},
};

std::string_view kind_name(RecordKind k) {
    switch (k) {
        case RecordKind::ac: return "ac";
        case RecordKind::dc: return "dc";
        case RecordKind::rectifier: return "rectifier";
    }
    return "record";
}

std::string_view unit_suffix(std::string_view unit) {
    if (unit == "V") return "_volts";
    if (unit == "A") return "_amperes";
    if (unit == "Hz") return "_hertz";
    return "";
}

}  // namespace

ReadingFamily reading_family(RecordKind kind, const Reading& r) {
    for (const Stem& s : kStems)
        if (s.kind == kind && s.reading == r.name)
            return {fmt::format("voka_{}{}", s.stem, unit_suffix(r.unit)), std::string(s.help)};
    return {fmt::format("voka_{}_{}{}", kind_name(kind), r.name, unit_suffix(r.unit)),
            fmt::format("The {} record's \"{}\" reading", kind_name(kind), r.name)};
}
