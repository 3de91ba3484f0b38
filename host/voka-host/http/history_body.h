#pragma once
// /api/v1/history's answer, made as the client takes it:
//
//   {"data_id":N,"records":[{"fields":{…},"record_type":T,"time":"…"},…]}\n
//
// the very bytes one_line_json gives for the whole answer as one JSON tree,
// with one record in memory at a time: the rows come through a cursor on a
// read-only connection of the body's own (history_db.h), so memory does not
// grow with the limit and polling never waits for a reader.
#include <memory>
#include <optional>
#include <string>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/http/piece_body.h"

// read() throws HistoryError when a later row cannot be read.
class HistoryBody final : public PieceBody {
public:
    // Opens `database` read-only and reads the first row, so that a database
    // that cannot be read is known before any answer goes. Throws HistoryError.
    HistoryBody(const std::string& database, const HistoryQuery& query);

private:
    // The opening, then a record at a time, then the end; "" when done.
    std::string next_piece() override;

    std::unique_ptr<HistoryDb> db_;  // outlives the cursor
    std::optional<HistoryDb::RowCursor> cursor_;
    std::optional<HistoryRow> row_;  // the next record's row, read ahead
    bool first_record_ = true;
    std::string opening_;  // `{"data_id":N,"records":[`, until it is handed out
    std::string closing_;  // "]}\n", until it is handed out
};
