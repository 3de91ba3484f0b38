#include "host/voka-host/http/reduced_history_body.h"

#include "host/voka-host/presentation/json_text.h"

ReducedHistoryBody::ReducedHistoryBody(const std::string& database, const HistoryQuery& query, size_t points,
                                       std::set<std::string> wanted)
    : db_(std::make_unique<HistoryDb>(database, HistoryPolicy{}, HistoryDb::Problem{}, HistoryDb::Open::read_only)),
      reduction_(query.since.value(), query.until.value(), points, std::move(wanted)),
      data_id_(query.data_id) {
    HistoryQuery oldest_first = query;
    oldest_first.newest_first = false;
    oldest_first.limit = 0;
    cursor_.emplace(db_->cursor(oldest_first));
}

std::string ReducedHistoryBody::next_piece() {
    if (answered_) return "";
    if (cursor_) {
        for (size_t n = 0; n < kRowsPerSlice; ++n) {
            const auto row = cursor_->next();
            if (!row) {
                cursor_.reset();  // its read transaction ends with the rows
                break;
            }
            reduction_.add(row->time, decode_record(row->record_type, row->image, RecordForm::readings_only));
        }
        if (cursor_) return " ";  // whitespace before the answer's object: still JSON
    }
    answered_ = true;
    Json::Value v = reduction_.json();
    v["data_id"] = data_id_;
    return one_line_json(v) + "\n";
}
