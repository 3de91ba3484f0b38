#pragma once
// voka-host's default view: one compact block per round (values with units,
// conditions that hold, rejected answers), device log lines, query answers,
// alarm changes and notices.
#include <cstdio>
#include <string>
#include <string_view>

#include "host/voka-host/events/event.h"
#include "host/voka-host/events/line_writer.h"

class TextView final : public EventSink {
public:
    explicit TextView(std::FILE* out) : out_(out) {}
    void handle(const Event& e) override;

private:
    LineWriter out_;
};

// One published record as a short line of values with units.
std::string summarise_record(const PublishedRecord& r);
// A round and the running totals in words: a heading, then each record,
// condition or command after `separator` (a new indented line, or "; ").
std::string round_text(const RoundReport& r, std::string_view separator);
std::string stats_text(const event::Stats& s, std::string_view separator);
// A reload in words, on one line.
std::string reload_text(const event::SiteReloaded& r);
// An alarm change in words: "alarm starts: TEXT (RULE DATA_ID, grade G", then
// `more` (", code C" or nothing), ")" and, for an end with a reason of its
// own, ": REASON".
std::string alarm_text(const event::AlarmChanged& x, std::string_view more = {});
