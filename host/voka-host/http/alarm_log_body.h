#pragma once
// /api/v1/alarms's answer, made as the client takes it:
//
//   {"alarms":[{…alarm_log_json…},…]}\n
//
// the newest start first, one alarm in memory at a time, through a cursor on
// a read-only connection of the body's own (history_db.h), so polling never
// waits for a reader.
#include <memory>
#include <optional>
#include <string>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/http/piece_body.h"

class AlarmLogBody final : public PieceBody {
public:
    // Opens `database` read-only and reads the first alarm, so that a
    // database that cannot be read is known before any answer goes; `now`
    // measures how long the active alarms have lasted. Throws HistoryError.
    AlarmLogBody(const std::string& database, const AlarmLogQuery& query, int64_t now);

private:
    // Throws HistoryError when a later alarm cannot be read.
    std::string next_piece() override;

    std::unique_ptr<HistoryDb> db_;  // outlives the cursor
    std::optional<HistoryDb::AlarmCursor> cursor_;
    std::optional<Alarm> alarm_;  // the next one, read ahead
    int64_t now_;
    bool opened_ = false, first_ = true, closed_ = false;
};
