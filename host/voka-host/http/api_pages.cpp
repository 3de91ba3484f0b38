#include "host/voka-host/http/api_pages.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <ctime>
#include <set>

#include <fmt/format.h>

#include "host/voka-host/presentation/json_text.h"
#include "host/voka-host/http/exposition.h"
#include "host/voka-host/http/alarm_log_body.h"
#include "host/voka-host/http/csv_history_body.h"
#include "host/voka-host/http/history_body.h"
#include "host/voka-host/http/reduced_history_body.h"
#include "host/voka-host/http/site_metrics.h"
#include "host/voka-host/http/state_json.h"
#include "host/voka-host/presentation/time_text.h"

namespace {

constexpr const char* kJson = "application/json";

std::optional<uint64_t> whole_number(const std::string& text) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

int64_t wall_clock() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

HttpResponse metrics_page(const SiteSnapshot& snapshot, const HttpCounters& counters,
                          const HostFiguresSource& figures) {
    const HttpFigures http{counters.auth_failures.load(std::memory_order_relaxed)};
    const std::optional<HostFigures> host = figures ? std::optional(figures()) : std::nullopt;
    return {200, kExpositionContentType, site_metrics(snapshot.copy(), VOKA_VERSION, http, host ? &*host : nullptr)};
}

HttpResponse state_page(const SiteSnapshot& snapshot, int64_t now) {
    return {200, kJson, one_line_json(state_json(snapshot.copy(), now)) + "\n"};
}

namespace {

std::optional<size_t> bounded(const std::string& value, size_t most) {
    const auto n = whole_number(value);
    if (!n || *n < 1 || *n > most) return std::nullopt;
    return static_cast<size_t>(*n);
}

// What both database answers take: data_id, since and limit.
struct RowParams {
    std::optional<uint32_t> data_id;
    std::optional<int64_t> since;
    std::optional<size_t> limit;
};

// Reads `key` into `p` when it is one of RowParams'. Returns false when it is
// not; a refusal of its value is left in `refusal`.
bool read_row_param(const std::string& key, const std::string& value, int64_t now, RowParams& p,
                    std::optional<std::string>& refusal) {
    if (key == "data_id") {
        const auto id = whole_number(value);
        if (!id || *id > 0xFFFFFFFFu) refusal = fmt::format("data_id must be a device's data id, not \"{}\"", value);
        else p.data_id = static_cast<uint32_t>(*id);
    } else if (key == "since") {
        p.since = parse_time(value, now);
        if (!p.since) refusal = fmt::format("since must be an ISO 8601 time or an age (2h, 7d), not \"{}\"", value);
    } else if (key == "limit") {
        p.limit = bounded(value, kMaxHistoryLimit);
        if (!p.limit) refusal = fmt::format("limit must be from 1 to {}, not \"{}\"", kMaxHistoryLimit, value);
    } else {
        return false;
    }
    return true;
}

std::set<std::string> names(const std::string& list) {
    std::set<std::string> out;
    size_t from = 0;
    while (from <= list.size()) {
        const size_t comma = std::min(list.find(',', from), list.size());
        if (comma > from) out.insert(list.substr(from, comma - from));
        from = comma + 1;
    }
    return out;
}

}  // namespace

std::variant<HistoryAsk, std::string> history_query(const std::multimap<std::string, std::string>& params,
                                                    int64_t now) {
    HistoryAsk ask;
    HistoryQuery& q = ask.query;
    RowParams rows;
    std::set<std::string> seen;
    for (const auto& [key, value] : params) {
        if (!seen.insert(key).second) return fmt::format("\"{}\" is given more than once", key);
        std::optional<std::string> refusal;
        if (read_row_param(key, value, now, rows, refusal)) {
            if (refusal) return *refusal;
        } else if (key == "points") {
            const auto points = bounded(value, kMaxHistoryPoints);
            if (!points) return fmt::format("points must be from 1 to {}, not \"{}\"", kMaxHistoryPoints, value);
            ask.points = *points;
        } else if (key == "values") {
            ask.values = names(value);
        } else if (key == "format") {
            if (value != "json" && value != "csv") return fmt::format("format must be json or csv, not \"{}\"", value);
            ask.csv = value == "csv";
        } else {
            return fmt::format("unknown parameter \"{}\"; the parameters are data_id, since, limit, points, values and format",
                               key);
        }
    }
    if (!rows.data_id) return std::string("data_id is missing");
    q.data_id = *rows.data_id;
    q.since = rows.since;
    q.limit = rows.limit.value_or(kDefaultHistoryLimit);
    q.newest_first = true;
    if (ask.points) {
        if (ask.csv) return std::string("format=csv does not go with points: the export is of rows");
        if (rows.limit) return std::string("limit does not go with points: a reduction reads every row of its range");
        if (!q.since) return std::string("points needs since: the range to reduce");
        if (*q.since > now) return std::string("since must not be after now with points");
        q.until = now;
        q.limit = 0;
        q.newest_first = false;
    } else if (seen.contains("values")) {
        return std::string("values goes only with points");
    }
    return ask;
}

std::variant<AlarmLogQuery, std::string> alarm_query(const std::multimap<std::string, std::string>& params,
                                                     int64_t now) {
    RowParams rows;
    std::set<std::string> seen;
    for (const auto& [key, value] : params) {
        if (!seen.insert(key).second) return fmt::format("\"{}\" is given more than once", key);
        std::optional<std::string> refusal;
        if (!read_row_param(key, value, now, rows, refusal))
            return fmt::format("unknown parameter \"{}\"; the parameters are since, data_id and limit", key);
        if (refusal) return *refusal;
    }
    AlarmLogQuery q;
    q.data_id = rows.data_id;
    q.since = rows.since;
    q.limit = rows.limit.value_or(kDefaultHistoryLimit);
    return q;
}

namespace {

// A history answer on its way, counted while it lives.
class CountedBody final : public BodySource {
public:
    CountedBody(std::unique_ptr<BodySource> body, std::shared_ptr<std::atomic<int>> count)
        : body_(std::move(body)), count_(std::move(count)) {}
    ~CountedBody() override { --*count_; }
    size_t read(std::span<char> out) override { return body_->read(out); }

private:
    std::unique_ptr<BodySource> body_;
    std::shared_ptr<std::atomic<int>> count_;
};

}  // namespace

namespace {

// A database answer counted among `streams`, or 503 when there are too many
// on their way already or the database cannot be read.
HttpResponse counted_stream(const std::shared_ptr<std::atomic<int>>& streams, const HistorySource& database,
                            const std::function<std::unique_ptr<BodySource>(const std::string&)>& open) {
    if (streams->load() >= kMostHistoryStreams) {
        HttpResponse busy = plain_error(
            503, fmt::format("{} history answers are on their way already; ask again shortly", kMostHistoryStreams));
        busy.headers.emplace_back("Retry-After", "2");
        return busy;
    }
    std::unique_ptr<BodySource> body;
    if (database.commit_held) database.commit_held();  // rows stored but not committed yet are seen too
    try {
        body = open(database.path);
    } catch (const HistoryError& e) {
        return plain_error(503, std::string("history cannot be read: ") + e.what());
    }
    ++*streams;
    return {200, kJson, "", {}, std::make_unique<CountedBody>(std::move(body), streams)};
}

}  // namespace

HttpResponse history_page(const HttpRequest& request, const HistorySource& database, int64_t now,
                          const std::shared_ptr<std::atomic<int>>& streams) {
    auto parsed = history_query(request.query, now);
    if (auto* why = std::get_if<std::string>(&parsed)) return plain_error(400, *why);
    const HistoryAsk& ask = std::get<HistoryAsk>(parsed);
    HttpResponse r = counted_stream(streams, database, [&](const std::string& path) -> std::unique_ptr<BodySource> {
        if (ask.points) return std::make_unique<ReducedHistoryBody>(path, ask.query, ask.points, ask.values);
        if (ask.csv) return std::make_unique<CsvHistoryBody>(path, ask.query);
        return std::make_unique<HistoryBody>(path, ask.query);
    });
    if (ask.csv && r.status == 200) {
        r.content_type = "text/csv; charset=utf-8";
        r.headers.emplace_back("Content-Disposition",
                               fmt::format("attachment; filename=\"voka-history-{}.csv\"", ask.query.data_id));
    }
    return r;
}

HttpResponse alarms_page(const HttpRequest& request, const HistorySource& database, int64_t now,
                         const std::shared_ptr<std::atomic<int>>& streams) {
    auto parsed = alarm_query(request.query, now);
    if (auto* why = std::get_if<std::string>(&parsed)) return plain_error(400, *why);
    return counted_stream(streams, database, [&](const std::string& path) {
        return std::make_unique<AlarmLogBody>(path, std::get<AlarmLogQuery>(parsed), now);
    });
}

void add_api_routes(HttpServer& server, const SiteSnapshot& snapshot, const HistorySource& database,
                    const HttpCounters& counters, HostFiguresSource figures) {
    // Each answer is of its moment: no cache, a browser's or one between, keeps it.
    const auto uncached = [&server](const std::string& path, RouteHandler handler) {
        server.add_route(path, [handler = std::move(handler)](const HttpRequest& request) {
            HttpResponse r = handler(request);
            r.headers.emplace_back("Cache-Control", "no-store");
            return r;
        });
    };
    uncached("/metrics", [&snapshot, &counters, figures = std::move(figures)](const HttpRequest&) {
        return metrics_page(snapshot, counters, figures);
    });
    uncached("/api/v1/state", [&snapshot](const HttpRequest&) { return state_page(snapshot, wall_clock()); });
    // One count for both: each answer on its way holds a database connection.
    const auto streams = std::make_shared<std::atomic<int>>(0);
    uncached("/api/v1/history", [database, streams](const HttpRequest& request) {
        return history_page(request, database, wall_clock(), streams);
    });
    uncached("/api/v1/alarms", [database, streams](const HttpRequest& request) {
        return alarms_page(request, database, wall_clock(), streams);
    });
}
