// The one file that includes microhttpd.h: the library stays behind HttpServer.
//
// The library runs in its "external" mode with epoll: it never starts a thread
// of its own; our one thread waits on its epoll descriptor and a wake-up
// descriptor, lets it work (MHD_run), then closes the connections the
// ConnectionWatch finds overdue. Every callback (connection notices, the URI
// log, the access handler, body sources, completion) runs inside MHD_run or
// MHD_stop_daemon on that thread, so a connection's descriptor is only ever
// shut down while the library still holds it open.
#include "host/voka-host/http/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include <fmt/format.h>

#include "host/voka-host/http/auth_guard.h"
#include "host/voka-host/http/basic_auth.h"
#include "host/voka-host/http/connection_watch.h"
#include "host/voka-host/http/listening_socket.h"
#include "host/voka-host/http/static_files.h"

namespace {

using Clock = ConnectionWatch::Clock;

// The connection's memory pool. The library keeps the head in it, and beside
// it a 64-byte record per header field; measured with 0.9.75, a pool of P
// bytes holds a one-field head up to P - 32 bytes and a 64-field head up to
// P - 4,128. This pool holds every head within HttpLimits' defaults (16 KB,
// 64 fields) with room left for the answer's header fields; a larger head
// than the pool holds is the library's own 431, anything between is ours.
constexpr size_t kPoolBytes = 24 * 1024;
// What a body source is asked for at a time.
constexpr size_t kStreamBlockBytes = 16 * 1024;

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// What a request's context points at: its head has been screened; it has
// been answered (later calls only drop its body).
char kHeadSeen;
char kAnswered;

std::string client_address(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info && info->client_addr ? client_key(*info->client_addr) : "?";
}

// The head's size and field count, as the client sent them (give or take
// the blanks around each field's value).
struct HeadSize {
    size_t bytes = 0;
    size_t fields = 0;
};

MHD_Result count_field(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* size = static_cast<HeadSize*>(cls);
    size->bytes += std::strlen(key) + 2 + (value ? std::strlen(value) : 0) + 2;
    ++size->fields;
    return MHD_YES;
}

MHD_Result add_argument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<std::multimap<std::string, std::string>*>(cls)->emplace(key, value ? value : "");
    return MHD_YES;
}

void free_string(void* cls) { delete static_cast<std::string*>(cls); }

ssize_t read_body(void* cls, uint64_t, char* buffer, size_t max) {
    try {
        const size_t n = static_cast<BodySource*>(cls)->read(std::span<char>(buffer, max));
        return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
    } catch (const std::exception&) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
}

void free_body(void* cls) { delete static_cast<BodySource*>(cls); }

// The header fields every answer of ours carries.
void add_common_headers(MHD_Response* response) {
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy", kContentSecurityPolicy);
}

}  // namespace

HttpResponse plain_error(int status, const std::string& reason) {
    return {status, "text/plain; charset=utf-8", reason + "\n"};
}

struct HttpServer::Impl {
    HttpServerSettings settings;
    Log log;
    std::optional<BasicAuth> auth;
    HttpCounters own_counters;  // when the owner keeps none
    std::map<std::string, RouteHandler> routes;
    std::vector<StaticFolder> folders;

    std::optional<ListeningSocket> socket;  // ours; the library has a duplicate
    uint16_t port = 0;
    MHD_Daemon* daemon = nullptr;
    int wake_fd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool starting = false;
    std::string start_messages;  // what the library said while starting

    // The server thread's alone.
    ConnectionWatch watch;
    std::unordered_map<MHD_Connection*, size_t> target_bytes;  // of each connection's current request
    std::optional<AuthGuard> guard;                            // with authentication

    explicit Impl(HttpServerSettings s)
        : settings(std::move(s)), watch(settings.limits.head_timeout, settings.limits.answer_timeout) {}

    void start(ListeningSocket listening);
    void serve();
    int wait_ms() const;
    MHD_Result answer(MHD_Connection* connection, const char* url);
    std::optional<HttpResponse> screen(MHD_Connection* connection, const char* url, const char* method,
                                       const char* version);
    std::optional<HttpResponse> check_credential(MHD_Connection* connection);
    MHD_Result queue(MHD_Connection* connection, HttpResponse response);
    MHD_Result queue_file(MHD_Connection* connection, OpenFile file);

    // The library's callbacks; `cls` is the Impl.
    static void on_log(void* cls, const char* format, va_list args);
    static MHD_Result on_accept(void* cls, const sockaddr* address, socklen_t length);
    static void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode code);
    static void* on_uri(void* cls, const char* uri, MHD_Connection* connection);
    static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                 const char* version, const char* upload_data, size_t* upload_data_size,
                                 void** request_context);
    static void on_completed(void* cls, MHD_Connection* connection, void** request_context,
                             MHD_RequestTerminationCode code);
};

void HttpServer::Impl::on_log(void* cls, const char* format, va_list args) {
    auto* self = static_cast<Impl*>(cls);
    // Once serving, what the library says is about clients (a refused
    // connection, a broken head): not for the journal, where any client
    // could fill it.
    if (!self->starting) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (!self->start_messages.empty()) self->start_messages += "; ";
    self->start_messages += line;
}

// The limit in all, ours: the library's own would leave the excess waiting
// in the listen queue rather than refuse it.
MHD_Result HttpServer::Impl::on_accept(void* cls, const sockaddr*, socklen_t) {
    auto* self = static_cast<Impl*>(cls);
    return self->watch.size() < self->settings.limits.max_connections ? MHD_YES : MHD_NO;
}

void HttpServer::Impl::on_connection(void* cls, MHD_Connection* connection, void**,
                                     MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info) self->watch.opened(connection, info->connect_fd, Clock::now());
    } else {
        self->watch.closed(connection);
        self->target_bytes.erase(connection);
    }
}

void* HttpServer::Impl::on_uri(void* cls, const char* uri, MHD_Connection* connection) {
    static_cast<Impl*>(cls)->target_bytes[connection] = std::strlen(uri);
    return nullptr;
}

void HttpServer::Impl::on_completed(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    static_cast<Impl*>(cls)->watch.answered(connection, Clock::now());
}

MHD_Result HttpServer::Impl::on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                        const char* version, const char*, size_t* upload_data_size,
                                        void** request_context) {
    auto* self = static_cast<Impl*>(cls);
    try {
        // The first call comes with the head: a refusal is sent at once. The
        // answer itself waits for the next call, once the library knows the
        // request has no body (or has read it): an answer queued earlier would
        // make it close the connection rather than keep it alive.
        if (*request_context == nullptr) {
            *request_context = &kHeadSeen;
            self->watch.head_arrived(connection, Clock::now());
            auto refused = self->screen(connection, url, method, version);
            if (!refused) return MHD_YES;
            *request_context = &kAnswered;
            // Nothing more is read from a refused client: not a body it may
            // have sent, nor the rest of an oversized head.
            refused->headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            return self->queue(connection, std::move(*refused));
        }
        // A body of a GET or HEAD is read and dropped (within answer_timeout).
        if (*request_context == &kAnswered || *upload_data_size != 0) {
            *upload_data_size = 0;
            return MHD_YES;
        }
        *request_context = &kAnswered;
        return self->answer(connection, url);
    } catch (const std::exception& e) {
        try {
            return self->queue(connection, plain_error(500, std::string("internal error: ") + e.what()));
        } catch (const std::exception&) {
            return MHD_NO;  // the library closes the connection
        }
    }
}

// Everything a request must pass before a route or a folder sees it.
std::optional<HttpResponse> HttpServer::Impl::screen(MHD_Connection* connection, const char* url,
                                                     const char* method, const char* version) {
    const HttpLimits& limits = settings.limits;
    const size_t target = target_bytes.count(connection) ? target_bytes[connection] : std::strlen(url);
    if (target > limits.max_target_bytes)
        return plain_error(414, fmt::format("the request target is longer than {} bytes", limits.max_target_bytes));
    HeadSize head{std::strlen(method) + 1 + target + 1 + std::strlen(version) + 2 + 2, 0};
    MHD_get_connection_values(connection, MHD_HEADER_KIND, count_field, &head);
    if (head.fields > limits.max_header_fields)
        return plain_error(431, fmt::format("more than {} header fields", limits.max_header_fields));
    if (head.bytes > limits.max_head_bytes)
        return plain_error(431, fmt::format("the request line and header fields exceed {} bytes",
                                            limits.max_head_bytes));
    if (auth)
        if (auto refused = check_credential(connection)) return refused;
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        HttpResponse r = plain_error(405, "only GET and HEAD are served");
        r.headers = {{"Allow", "GET, HEAD"}};
        return r;
    }
    return std::nullopt;
}

// A credential is hashed only when its address is not in a back-off for
// guessing: a guesser costs a hash per kRefusalsBeforeBackOff attempts, then
// next to nothing.
std::optional<HttpResponse> HttpServer::Impl::check_credential(MHD_Connection* connection) {
    HttpResponse r = plain_error(401, "a user and password are required");
    r.headers = {{"WWW-Authenticate", "Basic realm=\"voka-host\", charset=\"UTF-8\""}};
    const char* authorization = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    if (!authorization) return r;  // a browser's first request: nothing guessed
    const std::string client = client_address(connection);
    const auto now = Clock::now();
    if (const auto wait = guard->back_off_left(client, now); wait.count() > 0) {
        guard->refused(client, now);
        HttpResponse later = plain_error(429, fmt::format("too many refused credentials from {}; try again in {} s",
                                                          client, wait.count()));
        later.headers = {{"Retry-After", std::to_string(wait.count())}};
        return later;
    }
    if (auth->accepts(authorization)) {
        guard->accepted(client);
        return std::nullopt;
    }
    guard->refused(client, now);
    return r;
}

MHD_Result HttpServer::Impl::answer(MHD_Connection* connection, const char* url) {
    const auto route = routes.find(url);
    if (route != routes.end()) {
        HttpRequest request{url, {}};
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, add_argument, &request.query);
        return queue(connection, route->second(request));
    }
    for (const StaticFolder& folder : folders) {
        if (!folder.covers(url)) continue;
        if (auto file = folder.open(url)) return queue_file(connection, std::move(*file));
        break;
    }
    return queue(connection, plain_error(404, fmt::format("no such page: {}", url)));
}

MHD_Result HttpServer::Impl::queue(MHD_Connection* connection, HttpResponse r) {
    MHD_Response* response = nullptr;
    if (r.stream) {
        BodySource* source = r.stream.release();
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlockBytes, read_body, source,
                                                     free_body);
        if (!response) delete source;
    } else {
        auto* body = new std::string(std::move(r.body));
        response = MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(), free_string,
                                                                          body);
        if (!response) delete body;
    }
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str());
    for (const auto& [name, value] : r.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    add_common_headers(response);
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result HttpServer::Impl::queue_file(MHD_Connection* connection, OpenFile file) {
    const std::string type = file.content_type();
    const uint64_t size = file.size();
    const int fd = file.release();
    MHD_Response* response = MHD_create_response_from_fd(static_cast<size_t>(size), fd);
    if (!response) {
        close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
    add_common_headers(response);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

// How long the thread may wait: no longer than the library asks, nor past
// the next connection deadline.
int HttpServer::Impl::wait_ms() const {
    long long wait = -1;
    MHD_UNSIGNED_LONG_LONG library_ms = 0;
    if (MHD_get_timeout(daemon, &library_ms) == MHD_YES)
        wait = static_cast<long long>(std::min<MHD_UNSIGNED_LONG_LONG>(library_ms, INT_MAX));
    for (const auto deadline : {watch.next_deadline(), guard ? guard->next_due() : std::nullopt}) {
        if (!deadline) continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        const long long until = std::max<long long>(0, left);
        wait = wait < 0 ? until : std::min(wait, until);
    }
    return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

void HttpServer::Impl::serve() {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    const int epoll_fd = info ? info->epoll_fd : -1;
    while (!stopping.load()) {
        pollfd ready[2] = {{epoll_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(ready, 2, wait_ms()) < 0 && errno != EINTR) break;
        if (ready[1].revents) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(wake_fd, &count, sizeof count);
        }
        MHD_run(daemon);
        // Shut down, not closed: the library still owns the descriptor, sees
        // the end and closes the connection on its next run.
        for (const int fd : watch.overdue(Clock::now())) shutdown(fd, SHUT_RDWR);
        if (guard) guard->tick(Clock::now());
    }
    MHD_stop_daemon(daemon);  // on this thread: its last callbacks too
    daemon = nullptr;
}

HttpServer::HttpServer(HttpServerSettings settings, Log log) : impl_(std::make_unique<Impl>(std::move(settings))) {
    Impl& s = *impl_;
    s.log = std::move(log);
    if (!s.settings.counters) s.settings.counters = &s.own_counters;
    if (s.settings.auth) {
        s.auth.emplace(s.settings.auth->user, s.settings.auth->password_hash);
        s.guard.emplace(s.log, s.settings.counters->auth_failures);
    }
}

HttpServer::~HttpServer() {
    stop();
    if (impl_->wake_fd >= 0) close(impl_->wake_fd);
}

void HttpServer::add_route(const std::string& path, RouteHandler handler) { impl_->routes[path] = std::move(handler); }

bool HttpServer::mount_static(const std::string& url_prefix, const std::string& folder) {
    auto mounted = StaticFolder::make(url_prefix, folder);
    if (!mounted) return false;
    // The longest prefix first: "/javascript/chart.js/" is not looked for under "/".
    auto& folders = impl_->folders;
    const auto at = std::find_if(folders.begin(), folders.end(), [&](const StaticFolder& f) {
        return f.prefix().size() < mounted->prefix().size();
    });
    folders.insert(at, std::move(*mounted));
    return true;
}

void HttpServer::start() { impl_->start(ListeningSocket(impl_->settings.listen)); }

void HttpServer::start_in_place_of(const HttpServer& running) {
    if (!running.impl_->socket) throw std::logic_error("start_in_place_of: the other server is not running");
    impl_->start(running.impl_->socket->duplicate());
}

void HttpServer::Impl::start(ListeningSocket listening) {
    Impl& s = *this;
    if (s.auth && s.log) {
        const auto cost = s.auth->check_cost();
        if (cost > BasicAuth::kSlowCheck)
            s.log(fmt::format("voka-host: HTTP: one check of the password hash takes {} ms on this machine (more "
                              "than {} ms): every authenticated request waits as long, and so do all others "
                              "meanwhile; a cheaper method (openssl passwd -6) answers faster",
                              cost.count() / 1000, BasicAuth::kSlowCheck.count()));
    }
    s.socket.emplace(std::move(listening));
    s.port = s.socket->port();
    ListeningSocket given = s.socket->duplicate();  // the library's once it starts: it closes it when it stops
    s.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wake_fd < 0)
        throw std::runtime_error(std::string("cannot make the server's wake-up: ") + std::strerror(errno));
    const HttpLimits& limits = s.settings.limits;
    const auto& tls = s.settings.tls;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, given.fd(), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kPoolBytes), nullptr},
        // Never reached: on_accept refuses first (slack for connections closing).
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(limits.max_connections + 8), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(limits.max_connections_per_address), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits.idle_timeout.count()), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::on_connection), &s},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::on_completed), &s},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::on_uri), &s},
    };
    if (tls) {
        // The library keeps these pointers: the settings outlive the daemon.
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tls->cert_pem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tls->key_pem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    const unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0);
    s.starting = true;
    s.daemon = MHD_start_daemon(flags, 0, &Impl::on_accept, &s, &Impl::on_request, &s,
                                MHD_OPTION_EXTERNAL_LOGGER, &Impl::on_log, &s, MHD_OPTION_ARRAY, options.data(),
                                MHD_OPTION_END);
    s.starting = false;
    if (!s.daemon) {
        s.socket.reset();
        throw std::runtime_error(fmt::format("cannot serve on {}: {}", s.settings.listen.text(),
                                             s.start_messages.empty() ? "the HTTP library refused to start"
                                                                      : s.start_messages));
    }
    given.release();
    s.thread = std::thread([&s] { s.serve(); });
}

void HttpServer::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->stopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(impl_->wake_fd, &one, sizeof one);
    impl_->thread.join();
    impl_->socket.reset();
}

uint16_t HttpServer::port() const { return impl_->port; }

std::string HttpServer::url() const {
    ListenAddress shown = impl_->settings.listen;
    shown.port = port();
    return fmt::format("{}://{}/", impl_->settings.tls ? "https" : "http", shown.text());
}

HttpServerSettings server_settings(const HttpConfig& config, HttpCounters* counters) {
    return {config.listen.value_or(ListenAddress{}), config.auth, config.limits, counters, config.tls};
}
