#pragma once
// One power system of the site file: its keys described (kPowerSystem), and
// what voka-host keeps of them. Each key voka-host reads fills its member here
// (its default is the member's), the child devices' data ids included, so that
// no consumer walks the raw element again; the plug-in's keys are described
// here too, and the master receives the element whole.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/line/serial_line.h"
#include "host/voka-host/config/schema.h"

struct PowerSystemConfig {
    std::string name;
    std::string device_type = "voka";
    uint32_t data_id = 0;
    std::optional<std::string> port;      // nothing: the embedded simulator
    std::optional<std::string> scenario;  // for the embedded simulator
    int poll_interval_ms = 5000;
    unsigned retries = 2;
    int reconnect_min_ms = 1000;  // the first wait before reopening; doubles up to the max
    int reconnect_max_ms = 30000;
    unsigned stale_after_rounds = 3;
    unsigned rectifier_modules = 3;
    std::vector<uint32_t> ac_data_ids;  // each "acSetting" element's, in its order
    std::vector<uint32_t> dc_data_ids;  // each "dcSetting" element's, in its order
    Json::Value element;                // handed whole to the master

    // Every data id of the system, the master's first (its rectifier device carries it too).
    std::vector<uint32_t> device_ids() const;
    bool has_device(uint32_t data_id) const;
};

// The one rule for which power system a device belongs to: the one whose
// master or child it is. nullopt when no system has it (a device the site no
// longer has): its records and alarms belong to nobody and are not shown.
// The site file refuses a data id given twice, so at most one system has it.
std::optional<size_t> device_owner(std::span<const PowerSystemConfig> systems, uint32_t data_id);

// The element's keys, the plug-in's with voka-host's; each of voka-host's
// fills its member above (schema::fill).
namespace power_system_keys {

using schema::into;
using schema::Key;
using schema::Reader;
using schema::Reload;
using schema::Section;
using schema::Type;

inline constexpr double kMostDataId = 0xFFFFFFFF;
inline constexpr Reload kRestarts = Reload::restarts_power_system;

inline bool settable_baud_rate(const Json::Value& v) { return is_supported_baud_rate(v.asInt()); }

inline std::string settable_baud_rates() {
    std::string rates;
    for (int rate : supported_baud_rates()) rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
    return "a rate a serial line can be set to (" + rates + ")";
}

// The plug-in's AC and DC devices read their thresholds as atof does.
inline constexpr Key kAppKeys[] = {
    {.name = "diff_v", .type = Type::number, .help = "the voltage change a device reports at once",
     .reload = kRestarts, .reader = Reader::plugin, .default_text = "the device's"},
    {.name = "diff_i", .type = Type::number, .help = "the current change a device reports at once",
     .reload = kRestarts, .reader = Reader::plugin, .default_text = "the device's"},
};
inline constexpr Section kApp{"\"appSetting\"", kAppKeys};

inline constexpr Key kChildKeys[] = {
    {.name = "data_id", .type = Type::integer, .help = "the device's data id, unique in the site", .reload = kRestarts,
     .reader = Reader::both, .lo = 0, .hi = kMostDataId, .required = true},
    {.name = "appSetting", .type = Type::object, .help = "the device's thresholds", .reload = kRestarts,
     .reader = Reader::plugin, .inner = &kApp},
};
inline constexpr Section kChild{"a device setting", kChildKeys};

inline constexpr Key kRcKeys[] = {
    {.name = "appSetting", .type = Type::object, .help = "unused by the rectifiers", .reload = kRestarts,
     .reader = Reader::plugin},
};
inline constexpr Section kRc{"\"rcSetting\"", kRcKeys};

inline constexpr Key kPowerSystemKeys[] = {
    {.name = "name", .type = Type::string, .help = "the power system's name in views, topics and logs; a new name is "
     "another system", .reload = kRestarts, .default_text = "ps<N>", .fill = into<&PowerSystemConfig::name>},
    {.name = "device_type", .type = Type::string, .help = "the master's type in the plug-in", .reload = kRestarts,
     .default_text = "voka", .fill = into<&PowerSystemConfig::device_type>},
    {.name = "data_id", .type = Type::integer, .help = "the master's (and rectifiers') data id", .reload = kRestarts,
     .reader = Reader::both, .lo = 0, .hi = kMostDataId, .required = true, .missing = "the master's data id",
     .fill = into<&PowerSystemConfig::data_id>},
    {.name = "port", .type = Type::string, .help = "the serial port", .reload = kRestarts, .reader = Reader::both,
     .default_text = "the embedded simulator", .fill = into<&PowerSystemConfig::port>},
    {.name = "scenario", .type = Type::string, .help = "the embedded simulator's scenario file", .reload = kRestarts,
     .default_text = "the bundled example", .fill = into<&PowerSystemConfig::scenario>},
    {.name = "baud_rate", .type = Type::integer, .help = "the line's rate", .reload = kRestarts,
     .reader = Reader::plugin, .default_text = "9600", .accepts = settable_baud_rate,
     .rule_of = settable_baud_rates},
    {.name = "address", .type = Type::integer, .help = "the power system's address on the line", .reload = kRestarts,
     .reader = Reader::plugin, .default_text = "1", .lo = 0, .hi = 255},
    {.name = "protocol_ver", .type = Type::integer, .help = "the protocol version byte sent", .reload = kRestarts,
     .reader = Reader::plugin, .default_text = "32", .lo = 0, .hi = 255},
    {.name = "answer_timeout_ms", .type = Type::integer, .help = "how long an answer is waited for",
     .reload = kRestarts, .reader = Reader::plugin, .default_text = "1000", .lo = 1, .hi = 600'000},
    {.name = "poll_interval_ms", .type = Type::integer, .help = "time from one round's start to the next",
     .reload = kRestarts, .default_text = "5000", .lo = 0, .hi = 3'600'000,
     .fill = into<&PowerSystemConfig::poll_interval_ms>},
    {.name = "retries", .type = Type::integer, .help = "attempts after a command's first fails", .reload = kRestarts,
     .default_text = "2", .lo = 0, .hi = 10, .fill = into<&PowerSystemConfig::retries>},
    {.name = "reconnect_min_ms", .type = Type::integer, .help = "the first wait before reopening a failed port; doubles",
     .reload = kRestarts, .default_text = "1000", .lo = 10, .hi = 3'600'000,
     .fill = into<&PowerSystemConfig::reconnect_min_ms>},
    {.name = "reconnect_max_ms", .type = Type::integer, .help = "the longest wait before reopening a failed port",
     .reload = kRestarts, .default_text = "30000", .lo = 10, .hi = 3'600'000,
     .fill = into<&PowerSystemConfig::reconnect_max_ms>},
    {.name = "stale_after_rounds", .type = Type::integer, .help = "failed rounds before the data are stale",
     .reload = kRestarts, .default_text = "3", .lo = 1, .hi = 1000,
     .fill = into<&PowerSystemConfig::stale_after_rounds>},
    {.name = "rectifier_modules", .type = Type::integer, .help = "for the answer time-out check only",
     .reload = kRestarts, .default_text = "3", .lo = 0, .hi = 255, .fill = into<&PowerSystemConfig::rectifier_modules>},
    {.name = "acSetting", .type = Type::array, .help = "one element per AC distribution unit", .reload = kRestarts,
     .reader = Reader::plugin, .rule = "an array of device settings", .inner = &kChild},
    {.name = "dcSetting", .type = Type::array, .help = "one element per DC distribution unit", .reload = kRestarts,
     .reader = Reader::plugin, .rule = "an array of device settings", .inner = &kChild},
    {.name = "rcSetting", .type = Type::object, .help = "the rectifiers' settings", .reload = kRestarts,
     .reader = Reader::plugin, .required = true, .missing = "every power system has its rectifiers", .inner = &kRc},
};
inline constexpr Section kPowerSystem{"a power system", kPowerSystemKeys};

}  // namespace power_system_keys
