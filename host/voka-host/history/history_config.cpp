#include "host/voka-host/history/history_config.h"

namespace {

using schema::Key;
using schema::Reload;
using schema::Type;

constexpr Key kKeys[] = {
    {.name = "database", .type = Type::string, .help = "the database file", .reload = Reload::next_start,
     .default_text = "--db, else ./voka-history.db"},
    {.name = "interval_s", .type = Type::integer, .help = "a device's image is stored once per period; 0: every round",
     .reload = Reload::next_start, .default_text = "60", .lo = 0, .hi = 86'400},
    {.name = "max_rows_per_device", .type = Type::integer, .help = "rows kept per device; 0: no bound",
     .reload = Reload::next_start, .default_text = "50000", .lo = 0, .hi = 100'000'000},
    {.name = "max_age_days", .type = Type::integer, .help = "older rows are removed; 0: no bound",
     .reload = Reload::next_start, .default_text = "30", .lo = 0, .hi = 3650},
};

}  // namespace

const schema::Section& history_keys() {
    static const schema::Section section{"\"history\"", kKeys};
    return section;
}

HistoryConfig history_config_from_json(const Json::Value& h, const std::string& source) {
    HistoryConfig c;
    if (h.isNull()) return c;
    schema::Problems problems(source);
    schema::check(h, history_keys(), "history", problems);
    problems.throw_if_any();
    if (h.isMember("database")) c.database = h["database"].asString();
    if (h.isMember("interval_s")) c.policy.interval_s = h["interval_s"].asInt64();
    if (h.isMember("max_rows_per_device"))
        c.policy.retention.max_rows_per_device = static_cast<unsigned>(h["max_rows_per_device"].asInt64());
    if (h.isMember("max_age_days")) c.policy.retention.max_age_s = h["max_age_days"].asInt64() * 86'400;
    return c;
}
