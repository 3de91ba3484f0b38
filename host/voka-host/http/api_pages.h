#pragma once
// What voka-host's HTTP API answers, as plain functions of the snapshot, the
// database and the request (the server only routes to them):
//
//   /metrics                     the Prometheus text format
//   /api/v1/state                the site snapshot as JSON (http/state_json.h)
//   /api/v1/history?data_id=N[&since=TIME][&limit=K]
//                                {"data_id": N, "records": [{"time", "record_type", "fields"}]},
//                                newest first; TIME is ISO 8601 or an age ("2h"); K from 1 to
//                                kMaxHistoryLimit, default kDefaultHistoryLimit; streamed as the
//                                client reads (history_body.h), at most kMostHistoryStreams at once
//                                (503 with Retry-After beyond)
//   /api/v1/history?data_id=N&since=TIME&points=P[&values=NAME,…]
//                                the range from TIME to now reduced to at most P buckets of
//                                min/max/mean per value (http/reduced_history_body.h), P from 1
//                                to kMaxHistoryPoints; NAMEs keep only those values (a column
//                                name, or a reading's name for all its columns); no limit
//   /api/v1/history?…&format=csv  the rows as `voka-host history --format csv` writes them
//                                (http/csv_history_body.h), as a file to download; not with points
//   /api/v1/alarms[?since=TIME][&data_id=N][&limit=K]
//                                {"alarms": [alarm_log_json…]} (reading/alarm_log.h), the newest
//                                start first: alarms that started, ended or were active at or
//                                after TIME; K as for the history; streamed the same way, and
//                                counted with the history answers (each holds a connection)
//
// Every answer of these pages says Cache-Control: no-store.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <variant>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/history/history_source.h"
#include "host/voka-host/base/host_figures.h"
#include "host/voka-host/http/http_server.h"
#include "host/voka-host/http/site_snapshot.h"

inline constexpr size_t kDefaultHistoryLimit = 100;
inline constexpr size_t kMaxHistoryLimit = 10'000;
// Each history answer on its way holds a database connection and its page
// cache (a few hundred kilobytes) while its client reads.
inline constexpr int kMostHistoryStreams = 16;
// What a plot of any range needs: about one point per pixel of its width.
inline constexpr size_t kMaxHistoryPoints = 1000;

// What a history request asks: rows, or with points > 0 their reduction.
struct HistoryAsk {
    HistoryQuery query;
    size_t points = 0;
    std::set<std::string> values;  // with points: the values kept, all when empty
    bool csv = false;
};

// `figures` may be empty: the host's own figures are then left out.
HttpResponse metrics_page(const SiteSnapshot& snapshot, const HttpCounters& counters,
                          const HostFiguresSource& figures = {});
HttpResponse state_page(const SiteSnapshot& snapshot, int64_t now);
// Reads through a read-only connection of its own, so it never holds up
// polling, once `database` has committed what it holds (it may wait for a
// round's end); `streams` counts the answers on their way.
HttpResponse history_page(const HttpRequest& request, const HistorySource& database, int64_t now,
                          const std::shared_ptr<std::atomic<int>>& streams);

// The history query the parameters ask for, or why they do not make one.
std::variant<HistoryAsk, std::string> history_query(const std::multimap<std::string, std::string>& params,
                                                    int64_t now);
// The alarm log query the parameters ask for, or why they do not make one.
std::variant<AlarmLogQuery, std::string> alarm_query(const std::multimap<std::string, std::string>& params,
                                                     int64_t now);
// As history_page, for /api/v1/alarms; `streams` is the history's count.
HttpResponse alarms_page(const HttpRequest& request, const HistorySource& database, int64_t now,
                         const std::shared_ptr<std::atomic<int>>& streams);

// Adds the four pages to `server`; `snapshot` and `counters` must outlive it.
void add_api_routes(HttpServer& server, const SiteSnapshot& snapshot, const HistorySource& database,
                    const HttpCounters& counters, HostFiguresSource figures = {});
