#pragma once
// voka-host's HTTP server: read-only, GET and HEAD only, on one address.
//
// What it answers, in this order: a request target longer than
// kMaxTargetBytes 414, more than kMaxHeaders header fields 431; with
// authentication configured, a missing or wrong credential 401 with
// WWW-Authenticate (logged once per client address); any method but GET and
// HEAD 405 with Allow; then a file under a static mount, an added route, or
// 404. Request bodies are refused beyond kMaxBodyBytes; a client that stalls
// is dropped after the read or write time-out. Handlers run on the server's
// own threads, never on a polling thread.
//
// Routes and mounts are added before start().
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host_program/http/http_config.h"
#include "host_program/http/listen_address.h"

struct HttpRequest {
    std::string path;
    std::multimap<std::string, std::string> query;  // decoded; a key may repeat
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
};

// A response with a one-line reason, for 4xx answers.
HttpResponse plain_error(int status, const std::string& reason);

using RouteHandler = std::function<HttpResponse(const HttpRequest&)>;

class HttpServer {
public:
    static constexpr size_t kMaxTargetBytes = 2048;
    static constexpr size_t kMaxHeaders = 64;
    static constexpr size_t kMaxBodyBytes = 1024;
    static constexpr int kThreads = 8;

    // `log` hears of trouble (a refused credential), on a server thread.
    HttpServer(ListenAddress listen, std::optional<HttpAuthConfig> auth, std::function<void(const std::string&)> log);
    ~HttpServer();  // stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Answers GET and HEAD of exactly `path` ("/metrics").
    void add_route(const std::string& path, RouteHandler handler);
    // Serves the files below `folder` under `url_prefix` ("/", "/javascript/"),
    // read-only, with content types by extension; false when `folder` is not
    // a folder.
    bool mount_static(const std::string& url_prefix, const std::string& folder);

    // Binds and starts serving on a thread of its own. Throws
    // std::runtime_error naming the address when it cannot listen.
    void start();
    void stop();
    // The port it listens on (the one picked when the address asked for 0).
    uint16_t port() const;
    // "http://127.0.0.1:9108/"
    std::string url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
