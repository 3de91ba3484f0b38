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
//
// Every answer of these pages says Cache-Control: no-store.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "host_program/history/history_db.h"
#include "host_program/base/host_figures.h"
#include "host_program/http/http_server.h"
#include "host_program/http/site_snapshot.h"

inline constexpr size_t kDefaultHistoryLimit = 100;
inline constexpr size_t kMaxHistoryLimit = 10'000;
// Each history answer on its way holds a database connection and its page
// cache (a few hundred kilobytes) while its client reads.
inline constexpr int kMostHistoryStreams = 16;

// `figures` may be empty: the host's own figures are then left out.
HttpResponse metrics_page(const SiteSnapshot& snapshot, const HttpCounters& counters,
                          const HostFiguresSource& figures = {});
HttpResponse state_page(const SiteSnapshot& snapshot, int64_t now);
// Reads through a read-only connection of its own, so it never waits for
// polling; `streams` counts the answers on their way.
HttpResponse history_page(const HttpRequest& request, const std::string& database, int64_t now,
                          const std::shared_ptr<std::atomic<int>>& streams);

// The history query the parameters ask for, or why they do not make one.
std::variant<HistoryQuery, std::string> history_query(const std::multimap<std::string, std::string>& params,
                                                      int64_t now);

// Adds the three pages to `server`; `snapshot` and `counters` must outlive it.
void add_api_routes(HttpServer& server, const SiteSnapshot& snapshot, const std::string& database,
                    const HttpCounters& counters, HostFiguresSource figures = {});
