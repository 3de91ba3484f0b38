#include "host/voka-host/http/alarm_log_body.h"

#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/reading/alarm_log.h"

AlarmLogBody::AlarmLogBody(const std::string& database, const AlarmLogQuery& query, int64_t now)
    : db_(std::make_unique<HistoryDb>(database, HistoryPolicy{}, HistoryDb::Problem{}, HistoryDb::Open::read_only)),
      now_(now) {
    cursor_.emplace(db_->alarm_cursor(query));
    alarm_ = cursor_->next();
}

std::string AlarmLogBody::next_piece() {
    if (!opened_) {
        opened_ = true;
        return "{\"alarms\":[";
    }
    if (alarm_) {
        std::string piece = first_ ? "" : ",";
        first_ = false;
        piece += one_line_json(alarm_log_json(*alarm_, now_));
        alarm_ = cursor_->next();
        return piece;
    }
    cursor_.reset();  // its read transaction ends with the alarms
    if (closed_) return "";
    closed_ = true;
    return "]}\n";
}
