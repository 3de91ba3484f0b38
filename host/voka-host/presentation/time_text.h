#pragma once
// Times as people type and read them: ISO 8601 or an age ("2h", "7d") in,
// ISO 8601 with the UTC offset or local text out, durations as "1h 02m 05s".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Seconds since the epoch for `text`: an ISO 8601 date or date and time
// ("2026-12-08", "2026-12-08T06:30", "2026-12-08 06:30:15+01:00", "...Z"; local
// time without an offset), or an age before `now`: a whole number followed by
// s, m, h, d or w. nullopt when it is neither.
std::optional<int64_t> parse_time(std::string_view text, int64_t now);

// "2026-12-08T06:30:15+01:00": local time with its offset.
std::string iso_time(int64_t t);
// "2026-12-08T05:30:15Z": UTC, for machines.
std::string utc_iso_time(int64_t t);
// "2026-12-08 06:30:15 +01:00": the same, for aligned text columns.
std::string local_time_text(int64_t t);
// "2026-12-08 06:30:15": local time without its offset, for messages to the user.
std::string local_clock_text(int64_t t);
// "45s", "2m 05s", "3h 00m 10s", "2d 04h 00m 00s".
std::string duration_text(int64_t seconds);
