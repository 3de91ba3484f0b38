#include "host/voka-host/http/http_service.h"

#include <stdexcept>

#include "host/voka-host/http/api_pages.h"
#include "host/voka-host/http/live_page.h"

HttpService::HttpService(const SiteSnapshot& snapshot, HistorySource database, Log log, HostFiguresSource figures)
    : snapshot_(snapshot), database_(std::move(database)), log_(std::move(log)), figures_(std::move(figures)) {}

HttpService::~HttpService() = default;

std::unique_ptr<HttpServer> HttpService::make(const HttpConfig& config) {
    auto server = std::make_unique<HttpServer>(server_settings(config, &counters_), log_);
    add_api_routes(*server, snapshot_, database_, counters_, figures_);
    add_live_page(*server, log_);
    return server;
}

void HttpService::start(const HttpConfig& config) {
    auto server = make(config);
    server->start();
    running_ = config;
    server_ = std::move(server);
}

void HttpService::apply(const HttpConfig& next, const std::string& source) {
    if (next == running_) return;
    if (!next.listen) {
        log_("voka-host: HTTP is switched off in " + source + ": applied at the next start of voka-host; serving on " +
             url() + " meanwhile");
        return;
    }
    try {
        auto server = make(next);
        if (next.listen == running_.listen)
            server->start_in_place_of(*server_);
        else
            server->start();
        server_->stop();
        server_ = std::move(server);
        running_ = next;
        log_("voka-host: HTTP settings changed in " + source + ": now serving on " + url());
    } catch (const std::runtime_error& e) {
        log_("voka-host: HTTP settings changed in " + source + " but cannot be served (" + e.what() +
             "): still serving with the former settings on " + url());
    }
}

std::string HttpService::url() const { return server_ ? server_->url() : std::string(); }
