#include "host/voka-host/events/text_view.h"

#include <fmt/format.h>

namespace {

double num(const Json::Value& v) { return v.isNumeric() ? v.asDouble() : 0.0; }

std::string rejected_text(const std::array<unsigned, frame::kErrorKinds>& rejected) {
    std::string text;
    for (size_t e = 0; e < rejected.size(); ++e)
        if (rejected[e]) text += fmt::format("{}{} {}", text.empty() ? "" : ", ", frame::key(frame::Error(e)), rejected[e]);
    return text.empty() ? "none" : text;
}

}  // namespace

std::string alarm_text(const event::AlarmChanged& x, std::string_view more) {
    const Alarm& a = x.alarm;
    return fmt::format("alarm {}: {} ({} {}, grade {}{}){}{}", x.started ? "starts" : "ends", a.text, a.rule_id,
                       a.data_id, a.grade, more, a.end_reason.empty() ? "" : ": ", a.end_reason);
}

std::string round_text(const RoundReport& r, std::string_view separator) {
    std::string text;
    if (r.complete)
        text = fmt::format("[{}] round {} ({:.0f} ms)", r.system, r.round, r.duration_ms);
    else
        text = fmt::format("[{}] round not completed: {} ({:.0f} ms)", r.system, r.outcome, r.duration_ms);
    for (const auto& rec : r.records) text += fmt::format("{}{}", separator, summarise_record(rec));
    if (r.complete) {
        if (r.holding.empty()) text += fmt::format("{}conditions: none hold", separator);
        for (const auto& c : r.holding) text += fmt::format("{}condition: {} ({} {})", separator, c.text, c.rule_id, c.data_id);
    }
    return text;
}

std::string stats_text(const event::Stats& s, std::string_view separator) {
    const ExchangeCounters& c = s.counters;
    std::string text = fmt::format(
        "[{}] {}: {} sent, {} answered, {} retried, {} noise bytes, {} late answers dropped, {} reopenings", s.system,
        s.final ? "totals at exit" : "totals", c.commands_sent, c.answers, c.retries, c.noise_bytes, c.unsolicited,
        s.reopenings);
    for (const auto& [command, n] : c.commands)
        text += fmt::format("{}{:02X} {:02X}: sent {}, answered {}, retried {}, timed out {}, rejected: {}",
                            separator, command >> 8, command & 0xFF, n.sent, n.answered, n.retried, n.timed_out,
                            rejected_text(n.rejected));
    return text;
}

std::string reload_text(const event::SiteReloaded& r) {
    const auto names = [](const std::vector<std::string>& list) {
        std::string s;
        for (const auto& n : list) s += (s.empty() ? "" : ", ") + n;
        return s.empty() ? std::string("none") : s;
    };
    return fmt::format("voka-host: site file reloaded: power systems added: {}; removed: {}; restarted: {}",
                       names(r.added), names(r.removed), names(r.restarted));
}

std::string summarise_record(const PublishedRecord& r) {
    const Json::Value& f = r.decoded.fields;
    if (f.isMember("error")) return fmt::format("{} {}: {}", r.device_type, r.data_id, f["error"].asString());
    switch (r.decoded.type->kind) {
        case RecordKind::ac: {
            std::string s = fmt::format("AC {:<5} ia {:.1f} A  ib {:.1f} A  ic {:.1f} A", r.data_id, num(f["ia"]),
                                        num(f["ib"]), num(f["ic"]));
            for (Json::ArrayIndex i = 0; i < f["channels"].size(); ++i) {
                const Json::Value& c = f["channels"][i];
                s += fmt::format(" | ch{} {:.1f}/{:.1f}/{:.1f} V {:.2f} Hz", i + 1, num(c["a"]), num(c["b"]),
                                 num(c["c"]), num(c["f"]));
            }
            return s;
        }
        case RecordKind::dc: {
            std::string s = fmt::format("DC {:<5} {:.1f} V  {:.1f} A", r.data_id, num(f["v"]), num(f["i"]));
            if (!f["battery_currents"].empty()) {
                s += "  batteries";
                for (const auto& a : f["battery_currents"]) s += fmt::format(" {:.1f} A", num(a));
            }
            return s;
        }
        case RecordKind::rectifier: {
            std::string s = fmt::format("RC {:<5} {:.1f} V  modules", r.data_id, num(f["output_voltage"]));
            if (f["modules"].empty()) s += " none";
            for (const auto& m : f["modules"])
                s += fmt::format(" {:.1f} A{}", num(m["current"]), m["fault"].asUInt() == 1 ? " (fault)" : "");
            return s;
        }
    }
    return {};
}

void TextView::handle(const Event& e) {
    std::visit(Overloaded{
                   [this](const event::Log& x) { out_.write(fmt::format("[{}] log: {}", x.system, x.text)); },
                   [this](const event::RoundEnded& x) { out_.write(round_text(x.report, "\n  ")); },
                   [this](const event::Value& x) { out_.write(fmt::format("  get {} = {}", x.query, x.value)); },
                   [this](const event::Refusal& x) { out_.write(fmt::format("  get {}: {}", x.query, x.why)); },
                   [this](const event::AlarmChanged& x) { out_.write(fmt::format("  {}", alarm_text(x))); },
                   [this](const event::Notice& x) { out_.write(x.text); },
                   [this](const event::Attempt& x) { out_.write(fmt::format("[{}] failed: {}", x.system, x.text)); },
                   [this](const event::Stats& x) { out_.write(stats_text(x, "\n  ")); },
                   [this](const event::StateChanged& x) {
                       out_.write(fmt::format("[{}] state {}: {}", x.system, x.state, x.why));
                   },
                   [this](const event::SiteReloaded& x) { out_.write(reload_text(x)); },
                   [this](const event::ReloadRefused& x) {
                       out_.write("voka-host: site file not reloaded, the running site stays: " + x.why);
                   },
                   // Records, conditions and rejected frames show with their round.
                   [](const auto&) {},
               },
               e);
}
