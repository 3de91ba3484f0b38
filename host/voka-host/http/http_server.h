#pragma once
// voka-host's HTTP server: read-only, GET and HEAD only, on one address,
// over TLS when it has a certificate (then nothing else: a client speaking
// plain HTTP to it gets no answer).
//
// One thread of its own serves every connection, event-driven with
// non-blocking sends: a slow or idle client holds up no other. Handlers and
// body sources run on that thread, never on a polling thread; a handler
// that throws std::exception gets its client a 500. `log` is called on that
// thread, and by start() on the caller's.
//
// What a client gets (HttpLimits, http_limits.h, holds the numbers):
// - connections beyond max_connections, or max_connections_per_address from
//   one address, are closed as soon as they are accepted;
// - each connection has a fixed memory pool: a head too large for it is
//   answered 431 by the library and the connection closed, and so is a head
//   over max_head_bytes or with more than max_header_fields fields (431), a
//   request target over max_target_bytes (414);
// - a head must arrive whole within head_timeout, an answer be sent within
//   answer_timeout, and nothing may stand still for idle_timeout; past that
//   the connection is closed without an answer;
// - then, with authentication configured, a missing credential 401 with
//   WWW-Authenticate, a wrong one too, counted and logged per client address
//   (auth_guard.h), and from an address in a back-off for guessing, 429 with
//   Retry-After without checking;
// - any method but GET and HEAD 405 with Allow;
// - then an added route, a file under a static folder (static_files.h; Range
//   is not honoured: the whole file, 200), or 404.
// A refusal closes the connection, and so does the library's own 400 (a
// malformed head) or 505 (another HTTP version); a body sent with a GET or
// HEAD is read and dropped. A streamed body goes chunked (HTTP/1.1).
// Every answer of its own carries X-Content-Type-Options: nosniff and a
// Content-Security-Policy allowing only this origin's scripts, styles,
// images and connections, no inline code.
//
// Routes and folders are added before start(); stop() (or the destructor)
// closes every connection at once.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/voka-host/http/http_config.h"
#include "host/voka-host/http/http_limits.h"
#include "host/voka-host/http/listen_address.h"

struct HttpRequest {
    std::string path;
    std::multimap<std::string, std::string> query;  // decoded; a key may repeat
};

// A body made piece by piece as the client takes it, on the server's thread.
class BodySource {
public:
    virtual ~BodySource() = default;
    // Writes the next bytes of the body at the front of `out` and returns how
    // many (at most out.size()); 0 once the body is complete. Throws
    // std::exception when it cannot go on: the connection is closed and the
    // client has a cut-off body (its status is sent already).
    virtual size_t read(std::span<char> out) = 0;
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers = {};  // further header fields
    std::unique_ptr<BodySource> stream = {};  // when set, the body instead of `body`, of unknown length
};

// A response with a one-line reason, for 4xx and 5xx answers.
HttpResponse plain_error(int status, const std::string& reason);

using RouteHandler = std::function<HttpResponse(const HttpRequest&)>;

// What the server counts, kept by its owner: it outlives a server rebuilt
// with new settings. Written on the server's thread, read anywhere.
struct HttpCounters {
    std::atomic<uint64_t> auth_failures{0};  // credentials refused: wrong, or sent during a back-off
};

struct HttpServerSettings {
    ListenAddress listen;
    std::optional<HttpAuthConfig> auth = {};
    HttpLimits limits = {};
    HttpCounters* counters = nullptr;  // must outlive the server; null: counted for no one
    std::optional<HttpTlsConfig> tls = {};  // HTTPS only (kTlsPriorities), checked already (tls_files.h)
};

// The settings a configuration with a listen address asks for.
HttpServerSettings server_settings(const HttpConfig& config, HttpCounters* counters);

// TLS 1.2 and 1.3 only, with GnuTLS's usual ciphers.
inline constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

class HttpServer {
public:
    using Log = std::function<void(const std::string&)>;

    // `log` hears of trouble: refused credentials, a slow password hash.
    HttpServer(HttpServerSettings settings, Log log);
    ~HttpServer();  // stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Answers GET and HEAD of exactly `path` ("/metrics").
    void add_route(const std::string& path, RouteHandler handler);
    // Serves the files below `folder` under `url_prefix` ("/", "/javascript/"),
    // as static_files.h says; false when `folder` is not a folder.
    bool mount_static(const std::string& url_prefix, const std::string& folder);

    // Binds and starts serving on the thread of its own. Throws
    // std::runtime_error naming the address when it cannot listen or serve
    // (with what the library said, e.g. about the TLS certificate).
    void start();
    // Starts on the listening socket of `running`, a server on the same
    // address that this one replaces (the caller stops it after): the port
    // is never closed meanwhile. Throws as start() does.
    void start_in_place_of(const HttpServer& running);
    // Closes every connection at once and ends the thread.
    void stop();
    // The port it listens on (the one picked when the address asked for 0).
    uint16_t port() const;
    // "http://127.0.0.1:9108/", "https://[::1]:9108/"
    std::string url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
