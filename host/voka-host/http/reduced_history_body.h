#pragma once
// /api/v1/history's answer with points=N: a device's rows over a range,
// reduced to at most N buckets (reading/range_reduction.h):
//
//   {"data_id":N,"since":…,"until":…,"bucket_s":…,"times":[…],"series":[…]}\n
//
// The rows come through a cursor on a read-only connection of the body's
// own, kRowsPerSlice at a time: each slice is one call of read() on the
// server's one thread, which hands out a JSON space meanwhile, so a week of
// rows never holds up the other clients. Memory is the reduction's, whatever
// the number of rows.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/http/piece_body.h"
#include "host/voka-host/reading/range_reduction.h"

class ReducedHistoryBody final : public PieceBody {
public:
    static constexpr size_t kRowsPerSlice = 4000;

    // The range is [query.since, query.until], both required; `points` >= 1.
    // Opens `database` read-only, so that a database that cannot be read is
    // known before any answer goes. Throws HistoryError.
    ReducedHistoryBody(const std::string& database, const HistoryQuery& query, size_t points,
                       std::set<std::string> wanted);

private:
    // Throws HistoryError when a later row cannot be read.
    std::string next_piece() override;

    std::unique_ptr<HistoryDb> db_;  // outlives the cursor
    std::optional<HistoryDb::RowCursor> cursor_;
    RangeReduction reduction_;
    uint32_t data_id_;
    bool answered_ = false;
};
