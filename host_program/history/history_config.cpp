#include "host_program/history/history_config.h"

#include <fmt/format.h>

#include "host_program/site_config.h"

namespace {

constexpr const char* kKeys[] = {"database", "interval_s", "max_rows_per_device", "max_age_days"};

[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    throw ConfigError(fmt::format("{}: history.{}: {}", source, key, problem));
}

std::optional<int64_t> integer(const Json::Value& h, const char* key, int64_t hi, const std::string& source) {
    if (!h.isMember(key)) return std::nullopt;
    const Json::Value& v = h[key];
    if (!v.isIntegral() || !v.isInt64() || v.asInt64() < 0 || v.asInt64() > hi)
        fail(source, key, fmt::format("must be a whole number from 0 to {}", hi));
    return v.asInt64();
}

}  // namespace

HistoryConfig history_config_from_json(const Json::Value& h, const std::string& source) {
    HistoryConfig c;
    if (h.isNull()) return c;
    if (!h.isObject()) throw ConfigError(fmt::format("{}: history: must be an object", source));
    for (const auto& name : h.getMemberNames()) {
        bool known = false;
        for (const char* k : kKeys) known = known || name == k;
        if (!known) fail(source, name, "is not a history setting (database, interval_s, max_rows_per_device, max_age_days)");
    }
    if (h.isMember("database")) {
        if (!h["database"].isString() || h["database"].asString().empty())
            fail(source, "database", "must be a non-empty string (the database file)");
        c.database = h["database"].asString();
    }
    if (const auto v = integer(h, "interval_s", 86'400, source)) c.policy.interval_s = *v;
    if (const auto v = integer(h, "max_rows_per_device", 100'000'000, source))
        c.policy.retention.max_rows_per_device = static_cast<unsigned>(*v);
    if (const auto v = integer(h, "max_age_days", 3650, source)) c.policy.retention.max_age_s = *v * 86'400;
    return c;
}
