#pragma once
// A line's counters as every consumer shows them: the --json stream's
// "stats", the state API's "counters" and "last_hour", and the reasons of
// /metrics' labels. A count by reason lists every reason, zeros included,
// so that a reader sees the same keys whatever the line did.
#include <array>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "host/line/line_exchange.h"

// {"sent", "answered", "retried", "late_answers", "noise_bytes", "reopenings"}.
Json::Value line_totals_json(const ExchangeCounters& c, unsigned reopenings);
// {"cid1", "cid2" ("0x40"), "sent", "answered", "retried", "timed_out",
// "rejected"} of one command (CID1 << 8 | CID2).
Json::Value command_counters_json(uint16_t command, const CommandCounters& n);
// "0x4F": a command byte as the stream shows it.
std::string command_byte_text(unsigned byte);
// {reason: count} for every reason a frame can be rejected for.
Json::Value rejected_json(const std::array<unsigned, frame::kErrorKinds>& rejected);
// {end: count} for every way an exchange can end.
Json::Value exchange_ends_json(const ExchangeCounters& c);
// How an exchange ended, as one word for keys and labels: "timed_out", ...
std::string exchange_end_key(ExchangeEnd e);
