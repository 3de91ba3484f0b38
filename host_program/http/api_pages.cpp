#include "host_program/http/api_pages.h"

#include <charconv>
#include <ctime>
#include <set>

#include <fmt/format.h>

#include "host_program/events/json_writer.h"
#include "host_program/http/exposition.h"
#include "host_program/http/history_body.h"
#include "host_program/http/site_metrics.h"
#include "host_program/http/state_json.h"
#include "host_program/reading/time_text.h"

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

std::variant<HistoryQuery, std::string> history_query(const std::multimap<std::string, std::string>& params,
                                                      int64_t now) {
    HistoryQuery q;
    q.newest_first = true;
    q.limit = kDefaultHistoryLimit;
    bool has_id = false;
    std::set<std::string> seen;
    for (const auto& [key, value] : params) {
        if (!seen.insert(key).second) return fmt::format("\"{}\" is given more than once", key);
        if (key == "data_id") {
            const auto id = whole_number(value);
            if (!id || *id > 0xFFFFFFFFu) return fmt::format("data_id must be a device's data id, not \"{}\"", value);
            q.data_id = static_cast<uint32_t>(*id);
            has_id = true;
        } else if (key == "since") {
            q.since = parse_time(value, now);
            if (!q.since) return fmt::format("since must be an ISO 8601 time or an age (2h, 7d), not \"{}\"", value);
        } else if (key == "limit") {
            const auto limit = whole_number(value);
            if (!limit || *limit < 1 || *limit > kMaxHistoryLimit)
                return fmt::format("limit must be from 1 to {}, not \"{}\"", kMaxHistoryLimit, value);
            q.limit = static_cast<size_t>(*limit);
        } else {
            return fmt::format("unknown parameter \"{}\"; the parameters are data_id, since and limit", key);
        }
    }
    if (!has_id) return std::string("data_id is missing");
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

HttpResponse history_page(const HttpRequest& request, const std::string& database, int64_t now,
                          const std::shared_ptr<std::atomic<int>>& streams) {
    auto parsed = history_query(request.query, now);
    if (auto* why = std::get_if<std::string>(&parsed)) return plain_error(400, *why);
    if (streams->load() >= kMostHistoryStreams) {
        HttpResponse busy = plain_error(
            503, fmt::format("{} history answers are on their way already; ask again shortly", kMostHistoryStreams));
        busy.headers.emplace_back("Retry-After", "2");
        return busy;
    }
    std::unique_ptr<BodySource> body;
    try {
        body = std::make_unique<HistoryBody>(database, std::get<HistoryQuery>(parsed));
    } catch (const HistoryError& e) {
        return plain_error(503, std::string("history cannot be read: ") + e.what());
    }
    ++*streams;
    return {200, kJson, "", {}, std::make_unique<CountedBody>(std::move(body), streams)};
}

void add_api_routes(HttpServer& server, const SiteSnapshot& snapshot, const std::string& database,
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
    uncached("/api/v1/history", [database, streams = std::make_shared<std::atomic<int>>(0)](
                                    const HttpRequest& request) {
        return history_page(request, database, wall_clock(), streams);
    });
}
