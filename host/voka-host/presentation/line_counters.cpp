#include "host/voka-host/presentation/line_counters.h"

Json::Value line_totals_json(const ExchangeCounters& c, unsigned reopenings) {
    Json::Value v(Json::objectValue);
    v["sent"] = c.commands_sent;
    v["answered"] = c.answers;
    v["retried"] = c.retries;
    v["late_answers"] = c.unsolicited;
    v["noise_bytes"] = static_cast<Json::UInt64>(c.noise_bytes);
    v["reopenings"] = reopenings;
    return v;
}

std::string command_byte_text(unsigned byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[byte >> 4 & 0xF] + kDigits[byte & 0xF];
}

Json::Value command_counters_json(uint16_t command, const CommandCounters& n) {
    Json::Value k(Json::objectValue);
    k["cid1"] = command_byte_text(command >> 8);
    k["cid2"] = command_byte_text(command & 0xFF);
    k["sent"] = n.sent;
    k["answered"] = n.answered;
    k["retried"] = n.retried;
    k["timed_out"] = n.timed_out;
    k["rejected"] = rejected_json(n.rejected);
    return k;
}

Json::Value rejected_json(const std::array<unsigned, frame::kErrorKinds>& rejected) {
    Json::Value v(Json::objectValue);
    for (size_t e = 0; e < rejected.size(); ++e) v[std::string(frame::key(frame::Error(e)))] = rejected[e];
    return v;
}

Json::Value exchange_ends_json(const ExchangeCounters& c) {
    Json::Value v(Json::objectValue);
    for (size_t e = 0; e < c.ended.size(); ++e) v[exchange_end_key(ExchangeEnd(e))] = c.ended[e];
    return v;
}

std::string exchange_end_key(ExchangeEnd e) {
    std::string key(to_string(e));
    for (char& c : key)
        if (c == ' ') c = '_';
    return key;
}
