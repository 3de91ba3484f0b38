// The one file that includes httplib.h: the library stays behind HttpServer.
#include "host_program/http/http_server.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <httplib.h>

#include "host_program/http/basic_auth.h"

namespace {

using Outcome = httplib::Server::HandlerResponse;

void answer(httplib::Response& res, const HttpResponse& r) {
    res.status = r.status;
    res.set_content(r.body, r.content_type.c_str());
}

}  // namespace

HttpResponse plain_error(int status, const std::string& reason) { return {status, "text/plain; charset=utf-8", reason + "\n"}; }

struct HttpServer::Impl {
    ListenAddress listen;
    std::optional<BasicAuth> auth;
    std::function<void(const std::string&)> log;
    httplib::Server server;
    std::map<std::string, RouteHandler> routes;
    std::thread thread;
    uint16_t port = 0;
    std::mutex refused_mutex;
    std::set<std::string> refused;  // client addresses whose refusal was logged

    Outcome screen(const httplib::Request& req, httplib::Response& res);
    void refuse_credential(const httplib::Request& req, httplib::Response& res);
    void route(const httplib::Request& req, httplib::Response& res) const;
};

// Everything a request must pass before a mount or a route sees it.
Outcome HttpServer::Impl::screen(const httplib::Request& req, httplib::Response& res) {
    if (req.target.size() > kMaxTargetBytes) {
        answer(res, plain_error(414, fmt::format("the request target is longer than {} bytes", kMaxTargetBytes)));
        return Outcome::Handled;
    }
    if (req.headers.size() > kMaxHeaders) {
        answer(res, plain_error(431, fmt::format("more than {} header fields", kMaxHeaders)));
        return Outcome::Handled;
    }
    if (auth && !auth->accepts(req.get_header_value("Authorization"))) {
        refuse_credential(req, res);
        return Outcome::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
        answer(res, plain_error(405, "only GET and HEAD are served"));
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");  // a body it may have sent is not read
        return Outcome::Handled;
    }
    return Outcome::Unhandled;
}

void HttpServer::Impl::refuse_credential(const httplib::Request& req, httplib::Response& res) {
    answer(res, plain_error(401, "a user and password are required"));
    res.set_header("WWW-Authenticate", "Basic realm=\"voka-host\", charset=\"UTF-8\"");
    bool first = false;
    {
        std::lock_guard lock(refused_mutex);
        first = refused.insert(req.remote_addr).second;
    }
    if (first && log)
        log(fmt::format("voka-host: HTTP: refused {} {} from {}: missing or wrong credential (further refusals of "
                        "this address are not logged)",
                        req.method, req.path, req.remote_addr));
}

void HttpServer::Impl::route(const httplib::Request& req, httplib::Response& res) const {
    const auto found = routes.find(req.path);
    if (found == routes.end()) return answer(res, plain_error(404, fmt::format("no such page: {}", req.path)));
    HttpRequest request{req.path, {req.params.begin(), req.params.end()}};
    answer(res, found->second(request));
}

HttpServer::HttpServer(ListenAddress listen, std::optional<HttpAuthConfig> auth,
                       std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>()) {
    impl_->listen = std::move(listen);
    if (auth) impl_->auth.emplace(auth->user, auth->password_hash);
    impl_->log = std::move(log);
    httplib::Server& s = impl_->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    // An idle connection holds one of the threads, and a stop waits for it:
    // one second keeps a stop with a page open well inside two.
    s.set_keep_alive_timeout(1);
    s.set_keep_alive_max_count(100);
    s.set_payload_max_length(kMaxBodyBytes);
    // Address reuse for a quick restart, but never a port shared with another process.
    s.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return impl_->screen(req, res);
    });
    s.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { impl_->route(req, res); });
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::add_route(const std::string& path, RouteHandler handler) { impl_->routes[path] = std::move(handler); }

bool HttpServer::mount_static(const std::string& url_prefix, const std::string& folder) {
    return impl_->server.set_mount_point(url_prefix, folder);
}

void HttpServer::start() {
    httplib::Server& s = impl_->server;
    const ListenAddress& a = impl_->listen;
    errno = 0;
    const int port = a.port == 0 ? s.bind_to_any_port(a.host) : (s.bind_to_port(a.host, a.port) ? a.port : -1);
    if (port <= 0)
        throw std::runtime_error(fmt::format("cannot listen on {}{}", a.text(),
                                             errno ? std::string(": ") + std::strerror(errno) : std::string()));
    impl_->port = static_cast<uint16_t>(port);
    impl_->thread = std::thread([&s] { s.listen_after_bind(); });
    // stop() takes effect only once the server runs: wait for that, so that a
    // stop soon after the start is never lost.
    for (int waited_ms = 0; !s.is_running() && waited_ms < 5000; ++waited_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpServer::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->server.stop();
    impl_->thread.join();
}

uint16_t HttpServer::port() const { return impl_->port; }

std::string HttpServer::url() const {
    ListenAddress shown = impl_->listen;
    shown.port = impl_->port;
    return fmt::format("http://{}/", shown.text());
}
