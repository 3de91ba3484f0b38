#pragma once
// voka-host's HTTP side as it runs: the server with the API and the live
// page, and the same rebuilt when a reload changes its settings (user,
// password hash, TLS files, listen address, limits). A rebuilt server takes
// over at once: on the same address it starts on the running server's
// listening socket, so the port never closes; on another it must bind
// first. When the new one cannot start, the running one stays, and `log`
// says so. What the server counts (HttpCounters) goes on across rebuilds.
//
// Threads: start() and apply() on the main thread; `log` is also called on
// the server's thread.
#include <functional>
#include <memory>
#include <string>

#include "host/voka-host/base/host_figures.h"
#include "host/voka-host/history/history_source.h"
#include "host/voka-host/http/http_config.h"
#include "host/voka-host/http/http_server.h"
#include "host/voka-host/http/site_snapshot.h"

class HttpService {
public:
    using Log = std::function<void(const std::string&)>;

    // `snapshot` must outlive it; `database` is the history's file and how to
    // commit what its writer holds (api_pages.h); `figures` (may be empty)
    // gives the host's own figures for /metrics.
    HttpService(const SiteSnapshot& snapshot, HistorySource database, Log log, HostFiguresSource figures = {});
    ~HttpService();  // stops

    // Serves with `config`, whose listen address is set. Throws
    // std::runtime_error naming the address when it cannot listen.
    void start(const HttpConfig& config);
    // Serves with `next` from now on, if it differs from the running
    // settings; said through `log` either way it goes. Settings without a
    // listen address (HTTP switched off) wait for the next start.
    void apply(const HttpConfig& next, const std::string& source);
    std::string url() const;

private:
    std::unique_ptr<HttpServer> make(const HttpConfig& config);

    const SiteSnapshot& snapshot_;
    const HistorySource database_;
    Log log_;
    HostFiguresSource figures_;
    HttpCounters counters_;  // before the server: outlives it
    HttpConfig running_;
    std::unique_ptr<HttpServer> server_;
};
