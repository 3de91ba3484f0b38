#include "host/voka-host/reading/history_export.h"

#include <algorithm>

#include <fmt/format.h>

#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/presentation/record_json.h"
#include "host/voka-host/reading/csv_field.h"
#include "host/voka-host/reading/reading_columns.h"
#include "host/voka-host/presentation/time_text.h"

namespace {

constexpr size_t kTimeWidth = 26;  // "2026-12-08 06:30:15 +01:00"

size_t text_width(const ReadingColumns::Column& c) { return std::max<size_t>(c.name.size(), 11); }

// One row's cells in the columns' order; "" where the record has no value.
std::vector<std::string> cells(const ReadingColumns& columns, const DecodedRecord& record, bool with_units) {
    std::vector<std::string> out(columns.columns().size());
    for (const Reading& r : record.readings) {
        const size_t at = columns.find(column_name(r));
        if (at == std::string::npos) continue;
        if (with_units && r.missing) {
            out[at] = std::string(1, '-');
            continue;
        }
        out[at] = reading_text(r);
        if (with_units && !r.unit.empty()) out[at].append(" ").append(r.unit);
    }
    return out;
}

void write_header(const ReadingColumns& columns, OutputFormat format, std::FILE* out) {
    std::string line = format == OutputFormat::csv ? "time" : fmt::format("{:<{}}", "time", kTimeWidth);
    // Appended piece by piece: GCC 12 at -O3 on 32-bit ARM reports a false
    // -Wrestrict overlap in `"," + std::string`.
    for (const auto& c : columns.columns()) {
        if (format == OutputFormat::csv) line.append(",").append(c.name);
        else line += fmt::format("  {:>{}}", c.name, text_width(c));
    }
    if (columns.any_error()) line += format == OutputFormat::csv ? ",error" : "  error";
    std::fprintf(out, "%s\n", line.c_str());
}

void write_row(const ReadingColumns& columns, const HistoryRow& row, OutputFormat format, std::FILE* out) {
    const DecodedRecord record = decode_record(row.record_type, row.image);
    const bool csv = format == OutputFormat::csv;
    const auto values = cells(columns, record, !csv);
    std::string line = csv ? iso_time(row.time) : fmt::format("{:<{}}", local_time_text(row.time), kTimeWidth);
    for (size_t i = 0; i < values.size(); ++i) {
        if (csv) line.append(",").append(values[i]);
        else line += fmt::format("  {:>{}}", values[i], text_width(columns.columns()[i]));
    }
    if (columns.any_error()) line.append(csv ? "," : "  ").append(csv ? csv_field(record.error) : record.error);
    if (!csv) line.erase(line.find_last_not_of(' ') + 1);
    std::fprintf(out, "%s\n", line.c_str());
}

void write_json_row(const HistoryRow& row, std::FILE* out) {
    Json::Value v = record_json(row.data_id, row.device_type, row.record_type,
                                decode_record(row.record_type, row.image).fields);
    v["time"] = iso_time(row.time);
    std::fprintf(out, "%s\n", one_line_json(v).c_str());
}

}  // namespace

size_t write_history(HistoryDb& db, const HistoryQuery& query, OutputFormat format, std::FILE* out) {
    size_t written = 0;
    if (format == OutputFormat::json) {
        db.for_each_row(query, [&](const HistoryRow& row) {
            write_json_row(row, out);
            ++written;
        });
        return written;
    }
    db.in_one_read([&] {
        ReadingColumns columns;
        db.for_each_row(query, [&](const HistoryRow& row) { columns.add(decode_record(row.record_type, row.image)); });
        if (format == OutputFormat::text && columns.columns().empty() && !columns.any_error()) return;
        write_header(columns, format, out);
        db.for_each_row(query, [&](const HistoryRow& row) {
            write_row(columns, row, format, out);
            ++written;
        });
    });
    return written;
}
