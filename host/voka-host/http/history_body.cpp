#include "host/voka-host/http/history_body.h"

#include <utility>

#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/presentation/record_json.h"
#include "host/voka-host/presentation/time_text.h"
#include "host/voka-host/records/record_types.h"

namespace {

Json::Value row_json(const HistoryRow& row) {
    Json::Value r = record_json(row.record_type, decode_record(row.record_type, row.image).fields);
    r["time"] = utc_iso_time(row.time);
    return r;
}

Json::Value answer_json(uint32_t data_id) {
    Json::Value v(Json::objectValue);
    v["data_id"] = data_id;
    v["records"] = Json::Value(Json::arrayValue);
    return v;
}

// The answer's text around its records, cut from the answer without any:
// `{"data_id":N,"records":[` and `]}`.
std::pair<std::string, std::string> around_records(uint32_t data_id) {
    const std::string empty = one_line_json(answer_json(data_id));
    const size_t open = empty.rfind('[');
    return {empty.substr(0, open + 1), empty.substr(open + 1)};
}

}  // namespace

HistoryBody::HistoryBody(const std::string& database, const HistoryQuery& query)
    : db_(std::make_unique<HistoryDb>(database, HistoryPolicy{}, HistoryDb::Problem{}, HistoryDb::Open::read_only)) {
    cursor_.emplace(db_->cursor(query));
    row_ = cursor_->next();
    auto [opening, closing] = around_records(query.data_id);
    opening_ = std::move(opening);
    closing_ = std::move(closing) + "\n";
}

std::string HistoryBody::next_piece() {
    if (!opening_.empty()) return std::exchange(opening_, {});
    if (row_) {
        std::string piece = first_record_ ? "" : ",";
        first_record_ = false;
        piece += one_line_json(row_json(*row_));
        row_ = cursor_->next();
        return piece;
    }
    cursor_.reset();  // its read transaction ends with the rows
    return std::exchange(closing_, {});
}
