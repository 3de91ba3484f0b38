#include "host_program/output.h"

#include <fmt/format.h>
#include <json/writer.h>

namespace {

std::string one_line(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 7;  // a float's worth of digits: 2.3, not 2.2999999523162842
    return Json::writeString(b, v);
}

Json::Value event(const char* kind, const std::string& system) {
    Json::Value v(Json::objectValue);
    v["event"] = kind;
    if (!system.empty()) v["system"] = system;
    return v;
}

Json::Value rule_json(const rule_value& r) {
    Json::Value v(Json::objectValue);
    v["data_id"] = r.data_id;
    v["rule_id"] = r.rule_id;
    v["grade"] = r.grade;
    v["code"] = r.alarm_code;
    v["name"] = r.alarm_name;
    v["text"] = r.text;
    v["holds"] = r.holds != 0;
    v["seq"] = r.seq;
    return v;
}

double num(const Json::Value& v) { return v.isNumeric() ? v.asDouble() : 0.0; }

}  // namespace

std::string summarise_record(const PublishedRecord& r) {
    const Json::Value& f = r.fields;
    if (f.isMember("error")) return fmt::format("{} {}: {}", r.device_type, r.data_id, f["error"].asString());
    switch (r.record_type) {
        case 5188: {
            std::string s = fmt::format("AC {:<5} ia {:.1f} A  ib {:.1f} A  ic {:.1f} A", r.data_id, num(f["ia"]),
                                        num(f["ib"]), num(f["ic"]));
            for (Json::ArrayIndex i = 0; i < f["channels"].size(); ++i) {
                const Json::Value& c = f["channels"][i];
                s += fmt::format(" | ch{} {:.1f}/{:.1f}/{:.1f} V {:.2f} Hz", i + 1, num(c["a"]), num(c["b"]),
                                 num(c["c"]), num(c["f"]));
            }
            return s;
        }
        case 5189: {
            std::string s = fmt::format("DC {:<5} {:.1f} V  {:.1f} A", r.data_id, num(f["v"]), num(f["i"]));
            if (!f["battery_currents"].empty()) {
                s += "  batteries";
                for (const auto& a : f["battery_currents"]) s += fmt::format(" {:.1f} A", num(a));
            }
            return s;
        }
        case 5190: {
            std::string s = fmt::format("RC {:<5} {:.1f} V  modules", r.data_id, num(f["output_voltage"]));
            if (f["modules"].empty()) s += " none";
            for (const auto& m : f["modules"])
                s += fmt::format(" {:.1f} A{}", num(m["current"]), m["fault"].asUInt() == 1 ? " (fault)" : "");
            return s;
        }
        default: return fmt::format("{} {}: record type {}", r.device_type, r.data_id, r.record_type);
    }
}

void Output::write_line(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void Output::write_json(const Json::Value& v) { write_line(one_line(v)); }

void Output::log(const std::string& system, const std::string& text) {
    if (json_) {
        Json::Value v = event("log", system);
        v["text"] = text;
        write_json(v);
    } else {
        write_line(fmt::format("[{}] log: {}", system, text));
    }
}

void Output::record(const std::string& system, const PublishedRecord& r) {
    if (!json_) return;  // the text view shows records with their round
    Json::Value v = event("record", system);
    v["data_id"] = r.data_id;
    v["device_type"] = r.device_type;
    v["record_type"] = r.record_type;
    v["fields"] = r.fields;
    write_json(v);
}

void Output::condition(const std::string& system, const rule_value& rule) {
    if (!json_) return;
    Json::Value v = event("condition", system);
    for (const auto& name : rule_json(rule).getMemberNames()) v[name] = rule_json(rule)[name];
    write_json(v);
}

void Output::rejected(const std::string& system, const std::string& reason) {
    if (json_) {
        Json::Value v = event("rejected", system);
        v["reason"] = reason;
        write_json(v);
    }
}

void Output::round(const RoundReport& r) {
    if (json_) {
        Json::Value v = event("round", r.system);
        v["round"] = r.round;
        v["complete"] = r.complete;
        v["outcome"] = r.outcome;
        v["duration_ms"] = std::round(r.duration_ms * 10) / 10;
        v["holding"] = static_cast<Json::UInt>(r.holding.size());
        v["rejected_frames"] = r.rejected_frames;
        write_json(v);
        return;
    }
    std::string text;
    if (r.complete)
        text = fmt::format("[{}] round {} ({:.0f} ms)", r.system, r.round, r.duration_ms);
    else
        text = fmt::format("[{}] round not completed: {} ({:.0f} ms)", r.system, r.outcome, r.duration_ms);
    for (const auto& rec : r.records) text += "\n  " + summarise_record(rec);
    if (r.complete) {
        if (r.holding.empty()) text += "\n  conditions: none hold";
        for (const auto& c : r.holding) text += fmt::format("\n  condition: {} ({} {})", c.text, c.rule_id, c.data_id);
    }
    if (r.rejected_frames) text += fmt::format("\n  answers rejected: {}", r.rejected_frames);
    write_line(text);
}

void Output::value(const std::string& query, float value) {
    if (json_) {
        Json::Value v = event("get", "");
        v["query"] = query;
        v["value"] = static_cast<double>(value);
        write_json(v);
    } else {
        write_line(fmt::format("  get {} = {}", query, value));
    }
}

void Output::refusal(const std::string& query, const std::string& why) {
    if (json_) {
        Json::Value v = event("get", "");
        v["query"] = query;
        v["refused"] = why;
        write_json(v);
    } else {
        write_line(fmt::format("  get {}: {}", query, why));
    }
}

void Output::alarm(const Alarm& a, bool started) {
    if (json_) {
        Json::Value v = event("alarm", "");
        v["state"] = started ? "start" : "end";
        v["data_id"] = a.data_id;
        v["rule_id"] = a.rule_id;
        v["grade"] = a.grade;
        v["code"] = a.alarm_code;
        v["name"] = a.alarm_name;
        v["text"] = a.text;
        v["started"] = static_cast<Json::Int64>(a.started);
        if (!started) v["ended"] = static_cast<Json::Int64>(a.ended);
        write_json(v);
    } else {
        write_line(fmt::format("  alarm {}: {} ({} {}, grade {})", started ? "starts" : "ends", a.text, a.rule_id,
                               a.data_id, a.grade));
    }
}

void Output::notice(const std::string& text) {
    if (json_) {
        Json::Value v = event("notice", "");
        v["text"] = text;
        write_json(v);
    } else {
        write_line(text);
    }
}
