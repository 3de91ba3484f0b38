#include "host/voka-host/presentation/time_text.h"

#include <charconv>
#include <ctime>

#include <fmt/format.h>

namespace {

// Reads exactly `digits` digits at `at`; advances past them.
std::optional<int> digits_at(std::string_view text, size_t& at, size_t digits) {
    if (at + digits > text.size()) return std::nullopt;
    int value = 0;
    const char* first = text.data() + at;
    const auto [end, ec] = std::from_chars(first, first + digits, value);
    if (ec != std::errc() || end != first + digits || *first == '-' || *first == '+') return std::nullopt;
    at += digits;
    return value;
}

bool take(std::string_view text, size_t& at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

std::optional<int64_t> parse_age(std::string_view text, int64_t now) {
    if (text.size() < 2) return std::nullopt;
    int64_t count = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size() - 1, count);
    if (ec != std::errc() || end != text.data() + text.size() - 1 || count < 0) return std::nullopt;
    int64_t unit = 0;
    switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        case 'w': unit = 7 * 86400; break;
        default: return std::nullopt;
    }
    if (count > (int64_t{1} << 40) / unit) return std::nullopt;
    return now - count * unit;
}

std::optional<int64_t> parse_iso(std::string_view text) {
    size_t at = 0;
    std::tm tm{};
    const auto year = digits_at(text, at, 4);
    if (!year || !take(text, at, '-')) return std::nullopt;
    const auto month = digits_at(text, at, 2);
    if (!month || !take(text, at, '-')) return std::nullopt;
    const auto day = digits_at(text, at, 2);
    if (!day || *month < 1 || *month > 12 || *day < 1 || *day > 31) return std::nullopt;
    tm.tm_year = *year - 1900;
    tm.tm_mon = *month - 1;
    tm.tm_mday = *day;
    if (take(text, at, 'T') || take(text, at, ' ')) {
        const auto hour = digits_at(text, at, 2);
        if (!hour || !take(text, at, ':')) return std::nullopt;
        const auto minute = digits_at(text, at, 2);
        if (!minute) return std::nullopt;
        std::optional<int> second = 0;
        if (take(text, at, ':')) second = digits_at(text, at, 2);
        if (!second || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
        tm.tm_hour = *hour;
        tm.tm_min = *minute;
        tm.tm_sec = *second;
    }
    std::optional<int> offset;  // seconds east of UTC; none: local time
    if (take(text, at, 'Z')) {
        offset = 0;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        const auto hours = digits_at(text, at, 2);
        take(text, at, ':');
        const auto minutes = digits_at(text, at, 2);
        if (!hours || !minutes || *hours > 14 || *minutes > 59) return std::nullopt;
        offset = sign * (*hours * 3600 + *minutes * 60);
    }
    if (at != text.size()) return std::nullopt;
    const int wanted_day = tm.tm_mday, wanted_month = tm.tm_mon;
    std::time_t t = 0;
    if (offset) {
        t = timegm(&tm) - *offset;
    } else {
        tm.tm_isdst = -1;
        t = std::mktime(&tm);
    }
    if (t == -1 || tm.tm_mday != wanted_day || tm.tm_mon != wanted_month) return std::nullopt;  // 2026-02-30
    return static_cast<int64_t>(t);
}

// The calendar time of `t`, in local time or UTC.
std::tm broken_down(int64_t t, bool utc) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (utc) gmtime_r(&tt, &tm);
    else localtime_r(&tt, &tm);
    return tm;
}

std::string date_and_clock(const std::tm& tm, char between) {
    return fmt::format("{:04}-{:02}-{:02}{}{:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, between,
                       tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Local time with its offset east of UTC, "+01:00", after `between` the clock.
std::string local(int64_t t, char between) {
    const std::tm tm = broken_down(t, false);
    const long east = tm.tm_gmtoff;
    const long size = east < 0 ? -east : east;
    return fmt::format("{}{}{}{:02}:{:02}", date_and_clock(tm, between), between == 'T' ? "" : " ",
                       east < 0 ? '-' : '+', size / 3600, size % 3600 / 60);
}

}  // namespace

std::optional<int64_t> parse_time(std::string_view text, int64_t now) {
    if (auto age = parse_age(text, now)) return age;
    return parse_iso(text);
}

std::string iso_time(int64_t t) { return local(t, 'T'); }

std::string local_time_text(int64_t t) { return local(t, ' '); }

std::string local_clock_text(int64_t t) { return date_and_clock(broken_down(t, false), ' '); }

std::string utc_iso_time(int64_t t) { return date_and_clock(broken_down(t, true), 'T') + "Z"; }

std::string duration_text(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const int64_t d = seconds / 86400, h = seconds % 86400 / 3600, m = seconds % 3600 / 60, s = seconds % 60;
    if (d) return fmt::format("{}d {:02}h {:02}m {:02}s", d, h, m, s);
    if (h) return fmt::format("{}h {:02}m {:02}s", h, m, s);
    if (m) return fmt::format("{}m {:02}s", m, s);
    return fmt::format("{}s", s);
}
