#include "host/voka-host/http/site_metrics.h"

#include <cstdlib>

#include <fmt/format.h>

#include "host/voka-host/http/exposition.h"
#include "host/voka-host/presentation/line_counters.h"
#include "host/voka-host/presentation/record_json.h"

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

using Type = Exposition::Type;
constexpr const char* kStates[] = {"ok", "stale", "reconnecting"};

// A float reading as the double its shortest text names: 53.6, not 53.599998474121094.
double float_value(float f) { return std::strtod(fmt::format("{}", f).c_str(), nullptr); }

void system_families(Exposition& out, const SystemState& s) {
    const Labels system{{"system", s.name}};
    out.add("voka_up", Type::gauge, "1 while the power system's data are fresh, 0 while they are stale", system,
            s.state == "stale" ? 0 : 1);
    for (const char* state : kStates)
        out.add("voka_power_system_state", Type::gauge, "1 for the line state the power system is in",
                {{"system", s.name}, {"state", state}}, s.state == state ? 1 : 0);
    out.add("voka_rounds_total", Type::counter, "Complete polling rounds", system, s.rounds);
    if (s.last_round) {
        out.add("voka_last_round_timestamp_seconds", Type::gauge, "When the last complete round ended",
                system, *s.last_round);
        out.add("voka_round_duration_seconds", Type::gauge, "How long the last complete round took", system,
                s.round_duration_ms / 1000.0);
    }
}

void line_families(Exposition& out, const SystemState& s) {
    const ExchangeCounters& c = s.counters;
    const Labels system{{"system", s.name}};
    out.add("voka_line_commands_sent_total", Type::counter, "Command attempts sent, retries included", system,
            c.commands_sent);
    out.add("voka_line_answers_total", Type::counter, "Valid answers handed to the master", system, c.answers);
    out.add("voka_line_retries_total", Type::counter, "Command attempts after the first", system, c.retries);
    out.add("voka_line_late_answers_total", Type::counter, "Valid answers that came with no command outstanding",
            system, c.unsolicited);
    out.add("voka_line_noise_bytes_total", Type::counter, "Bytes received outside any frame", system,
            static_cast<double>(c.noise_bytes));
    out.add("voka_line_reopenings_total", Type::counter, "Times the port was opened again after failing", system,
            s.reopenings);
    for (size_t e = 0; e < c.rejected.size(); ++e)
        out.add("voka_line_rejected_frames_total", Type::counter, "Frames rejected, by reason",
                {{"system", s.name}, {"reason", std::string(frame::key(frame::Error(e)))}}, c.rejected[e]);
    for (size_t e = 0; e < c.ended.size(); ++e) {
        if (ExchangeEnd(e) == ExchangeEnd::answered) continue;
        out.add("voka_line_failed_exchanges_total", Type::counter, "Exchanges that did not end in an answer, by reason",
                {{"system", s.name}, {"reason", exchange_end_key(ExchangeEnd(e))}}, c.ended[e]);
    }
}

void reading_families(Exposition& out, const SystemState& s) {
    for (const auto& [key, device] : s.devices) {
        const DeviceState& d = *device;
        if (!d.decoded.type) continue;
        for (const Reading& r : d.decoded.readings) {
            if (r.missing) continue;  // unknown is absent, never 0
            Labels labels{{"system", s.name}, {"data_id", std::to_string(d.data_id)}};
            for (const auto& [name, index] : reading_indices(r)) labels.emplace_back(name, std::to_string(index));
            const ReadingFamily family = reading_family(d.decoded.type->kind, r);
            out.add(family.name, Type::gauge, family.help, labels, float_value(r.value));
        }
    }
}

void alarm_families(Exposition& out, const SystemState& s) {
    for (const Alarm& a : s.alarms)
        out.add("voka_alarm_active", Type::gauge, "1 for each active alarm",
                {{"system", s.name}, {"data_id", std::to_string(a.data_id)}, {"rule_id", a.rule_id},
                 {"grade", std::to_string(a.grade)}, {"code", a.alarm_code}, {"text", a.text}},
                1);
}

void host_families(Exposition& out, const HostFigures& host) {
    out.add("voka_history_write_failures_total", Type::counter,
            "Writes of the history database that failed (locked, read-only, full)", {},
            static_cast<double>(host.history_write_failures));
    for (const PublisherFigures& p : host.publishers) {
        const Labels system{{"system", p.system}};
        out.add("voka_mqtt_connected", Type::gauge, "1 while the power system's session with the broker is up", system,
                p.connected ? 1 : 0);
        out.add("voka_mqtt_queued_messages", Type::gauge, "Messages waiting for the broker", system,
                static_cast<double>(p.queued));
        for (const auto& [kind, count] : {std::pair{"state", p.dropped_states}, std::pair{"event", p.dropped_events}})
            out.add("voka_mqtt_dropped_messages_total", Type::counter,
                    "Messages dropped from the bounded outbox while the broker was away, by kind",
                    {{"system", p.system}, {"kind", kind}}, static_cast<double>(count));
    }
}

}  // namespace

ReadingFamily reading_family(RecordKind kind, const Reading& r) {
    for (const Stem& s : kStems)
        if (s.kind == kind && s.reading == r.name)
            return {fmt::format("voka_{}{}", s.stem, unit_suffix(r.unit)), std::string(s.help)};
    return {fmt::format("voka_{}_{}{}", kind_name(kind), r.name, unit_suffix(r.unit)),
            fmt::format("The {} record's \"{}\" reading", kind_name(kind), r.name)};
}

std::string site_metrics(const SiteState& site, std::string_view version, const HttpFigures& http,
                         const HostFigures* host) {
    Exposition out;
    out.add("voka_build_info", Type::gauge, "voka-host's version, as a label", {{"version", std::string(version)}}, 1);
    for (const SystemState& s : site.systems) {
        system_families(out, s);
        line_families(out, s);
    }
    for (const SystemState& s : site.systems) reading_families(out, s);
    for (const SystemState& s : site.systems) alarm_families(out, s);
    out.add("voka_http_auth_failures_total", Type::counter,
            "Credentials the HTTP server refused: wrong, or sent while their address waited out a back-off", {},
            static_cast<double>(http.auth_failures));
    if (host) host_families(out, *host);
    return out.text();
}
