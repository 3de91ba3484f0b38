#include "host/voka-host/reading/reading_columns.h"

#include <fmt/format.h>

#include "host/voka-host/records/published_number.h"

std::string column_name(const Reading& r) {
    if (r.channel >= 0) return fmt::format("channel_{}_{}", r.channel, r.name);
    if (r.module >= 0) return fmt::format("module_{}_{}", r.module, r.name);
    if (r.battery >= 0) return fmt::format("battery_{}_{}", r.battery, r.element.empty() ? r.name : r.element);
    if (r.position >= 0) return fmt::format("{}_{}", r.name, r.position);
    return std::string(r.name);
}

std::string reading_text(const Reading& r) {
    if (r.missing) return {};
    // The published form, with a float's worth of digits.
    return fmt::format("{:.7g}", published_number(r.value));
}

void ReadingColumns::add(const DecodedRecord& record) {
    if (!record.error.empty()) any_error_ = true;
    size_t next = 0;  // where a new column of this record goes
    for (const Reading& r : record.readings) {
        std::string name = column_name(r);
        if (const size_t at = find(name); at != std::string::npos) {
            next = at + 1;
            continue;
        }
        columns_.insert(columns_.begin() + static_cast<std::ptrdiff_t>(next), Column{name, r.unit});
        for (auto& [_, at] : where_)
            if (at >= next) ++at;
        where_.emplace(std::move(name), next++);
    }
}

size_t ReadingColumns::find(const std::string& name) const {
    const auto it = where_.find(name);
    return it == where_.end() ? std::string::npos : it->second;
}
