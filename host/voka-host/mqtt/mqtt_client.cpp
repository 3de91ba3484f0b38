#include "host/voka-host/mqtt/mqtt_client.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "host/voka-host/mqtt/tls_files.h"

namespace {

void init_library() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// The library's texts end in a full stop; ours go on after them.
std::string sentence_part(std::string text) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string error_text(int rc) { return sentence_part(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)); }

// The reason of an OpenSSL error line the library logs:
// "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed".
std::optional<std::string> openssl_reason(std::string_view line) {
    constexpr std::string_view kPrefix = "OpenSSL Error[";
    if (line.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    const size_t text = line.find("]: ");
    if (text == std::string_view::npos) return std::nullopt;
    std::string_view error = line.substr(text + 3);
    // "error:CODE:LIBRARY:FUNCTION:REASON": the reason is what a person reads.
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string_view::npos; ++field) at = error.find(':', at ? at + 1 : 0);
    if (error.substr(0, 6) == "error:" && at != std::string_view::npos) error = error.substr(at + 1);
    return std::string(error);
}

}  // namespace

MqttClient::MqttClient(const MqttConfig& config, Options options, SessionMessages on_session, Notify notify)
    : config_(config),
      options_(std::move(options)),
      on_session_(std::move(on_session)),
      notify_(std::move(notify)),
      outbox_(options_.state_limit, options_.event_limit) {
    init_library();
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw std::runtime_error("mqtt: cannot make a wake-up descriptor: " + error_text(MOSQ_ERR_ERRNO));
    mosq_ = mosquitto_new(options_.client_id.c_str(), false, this);
    if (!mosq_) {
        const std::string why = error_text(MOSQ_ERR_ERRNO);
        ::close(wake_fd_);
        throw std::runtime_error("mqtt: cannot make a client: " + why);
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, &MqttClient::on_connect);
    mosquitto_publish_callback_set(mosq_, &MqttClient::on_publish);
    mosquitto_log_callback_set(mosq_, &MqttClient::on_log);
    const MqttMessage& w = options_.will;
    mosquitto_will_set(mosq_, w.topic.c_str(), static_cast<int>(w.payload.size()), w.payload.data(), w.qos, w.retain);
    if (config_.username)
        mosquitto_username_pw_set(mosq_, config_.username->c_str(),
                                  config_.password ? config_.password->c_str() : nullptr);
    if (config_.tls) {
        const MqttTls& t = *config_.tls;
        const int rc = mosquitto_tls_set(mosq_, t.ca_file.c_str(), nullptr, t.cert_file ? t.cert_file->c_str() : nullptr,
                                         t.key_file ? t.key_file->path.c_str() : nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(mosq_);
            ::close(wake_fd_);
            throw std::runtime_error("mqtt: TLS settings refused: " + error_text(rc));
        }
        mosquitto_tls_insecure_set(mosq_, t.insecure);
    }
}

void MqttClient::start() { thread_ = std::thread([this] { run(); }); }

MqttClient::~MqttClient() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    wake_network();
    if (thread_.joinable()) thread_.join();
    mosquitto_destroy(mosq_);
    ::close(wake_fd_);
}

void MqttClient::post(MqttMessage m) {
    {
        MutexLock lock(mutex_);
        outbox_.push(std::move(m));
    }
    wake_network();
}

void MqttClient::wake_network() {
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);  // fails only when the count is full: it is awake anyway
}

int MqttClient::serve_network() {
    const int socket = mosquitto_socket(mosq_);
    pollfd fds[2] = {{socket, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0},
                     {wake_fd_, POLLIN, 0}};
    // The keep-alive is looked after a quarter of its interval at the latest: the ping goes out in time, and
    // the broker allows one and a half intervals.
    const int look_ms = std::max(config_.keepalive_s, 1) * 1000 / 4;
    if (poll(fds, 2, look_ms) < 0 && errno != EINTR) return MOSQ_ERR_ERRNO;
    if (fds[1].revents & POLLIN) {
        uint64_t count = 0;
        (void)!::read(wake_fd_, &count, sizeof count);
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) rc = mosquitto_loop_write(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq_);
    return rc;
}

bool MqttClient::stopping() const {
    MutexLock lock(mutex_);
    return stopping_;
}

void MqttClient::wait(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MutexLock lock(mutex_);
    while (!stopping_ && wake_.wait_until(lock, until) == std::cv_status::no_timeout) {
    }
}

std::string MqttClient::where() const {
    return fmt::format("{}:{} as \"{}\"", config_.host, config_.port, options_.client_id);
}

void MqttClient::trouble(const std::string& text) {
    if (text == last_trouble_) return;
    last_trouble_ = text;
    notify_(fmt::format("voka-host: mqtt: {}: {}; trying again with back-off", where(), text));
}

void MqttClient::on_connect(mosquitto*, void* self, int rc) {
    auto* c = static_cast<MqttClient*>(self);
    if (rc == 0) {
        c->session_ = true;
        c->refused_ = false;
        return;
    }
    c->refused_ = true;
    c->trouble(fmt::format("the broker refused the connection: {}", sentence_part(mosquitto_connack_string(rc))));
}

void MqttClient::on_publish(mosquitto*, void* self, int mid) { static_cast<MqttClient*>(self)->acknowledged_mid_ = mid; }

void MqttClient::on_log(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || !text) return;
    auto* c = static_cast<MqttClient*>(self);
    if (auto reason = openssl_reason(text); reason && c->tls_errors_.size() < 4) c->tls_errors_.push_back(*reason);
}

std::string MqttClient::failure_text(int rc) {
    std::string text = error_text(rc);
    if (rc == MOSQ_ERR_TLS && config_.tls) {
        std::vector<std::string> causes = tls_errors_;
        for (std::string& p : mqtt::tls_time_problems(*config_.tls, std::time(nullptr))) causes.push_back(std::move(p));
        if (causes.empty()) causes.push_back("the library says no more");
        text += fmt::format(" ({})", fmt::join(causes, "; "));
    }
    tls_errors_.clear();
    return text;
}

bool MqttClient::connect_once(bool first) {
    tls_errors_.clear();
    const int rc = first ? mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s)
                         : mosquitto_reconnect(mosq_);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    trouble(fmt::format("cannot connect: {}", failure_text(rc)));
    return false;
}

void MqttClient::run() {
    int backoff_ms = config_.reconnect_min_ms;
    bool socket_open = false, first = true;
    while (!stopping()) {
        if (!socket_open) {
            socket_open = connect_once(first);
            first = false;
            if (!socket_open) {
                wait(backoff_ms);
                backoff_ms = std::min(backoff_ms * 2, config_.reconnect_max_ms);
                continue;
            }
        }
        const bool had_session = session_.load();
        const int rc = serve_network();
        if (rc != MOSQ_ERR_SUCCESS) {
            socket_open = false;
            const std::string why = failure_text(rc);
            if (session_) trouble(fmt::format("connection lost: {}", why));
            else if (!refused_) trouble(fmt::format("connection failed: {}", why));
            session_ = false;
            mosquitto_log_callback_set(mosq_, &MqttClient::on_log);
            wait(backoff_ms);
            backoff_ms = std::min(backoff_ms * 2, config_.reconnect_max_ms);
            continue;
        }
        if (!session_) continue;
        if (!had_session) {
            // The library formats every line it logs for a callback, each
            // message sent among them: listened to only while connecting.
            mosquitto_log_callback_set(mosq_, nullptr);
            backoff_ms = config_.reconnect_min_ms;
            if (!last_trouble_.empty()) notify_(fmt::format("voka-host: mqtt: connected to {}", where()));
            last_trouble_.clear();
            for (const MqttMessage& m : on_session_()) send(m);
        }
        serve_session();
    }
    finish();
}

// Hands what waits in the outbox to the library; drops since the last
// report are reported once the broker is back.
void MqttClient::serve_session() {
    std::vector<MqttMessage> pending;
    uint64_t dropped_states = 0, dropped_events = 0;
    {
        MutexLock lock(mutex_);
        while (auto m = outbox_.pop()) pending.push_back(std::move(*m));
        dropped_states = outbox_.dropped_states();
        dropped_events = outbox_.dropped_events();
    }
    if (dropped_states + dropped_events > reported_drops_) {
        reported_drops_ = dropped_states + dropped_events;
        notify_(fmt::format("voka-host: mqtt: {}: {} state messages and {} alarm events dropped so far while the "
                            "broker was away",
                            where(), dropped_states, dropped_events));
    }
    for (const MqttMessage& m : pending) send(m);
}

PublisherFigures MqttClient::figures() const {
    PublisherFigures f;
    f.connected = session_.load();
    MutexLock lock(mutex_);
    f.queued = outbox_.size();
    f.dropped_states = outbox_.dropped_states();
    f.dropped_events = outbox_.dropped_events();
    return f;
}

void MqttClient::send(const MqttMessage& m) {
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                     m.payload.data(), m.qos, m.retain);
    if (rc != MOSQ_ERR_SUCCESS) return;
    last_mid_ = mid;
    ++sent_messages_;
    sent_bytes_ += m.topic.size() + m.payload.size();
}

void MqttClient::finish() {
    if (session_) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        serve_session();
        send({options_.will.topic, options_.offline_status, 1, true, MqttMessage::Kind::state});
        while (acknowledged_mid_ != last_mid_ && std::chrono::steady_clock::now() < deadline &&
               mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS) {
        }
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, 50, 1);
    }
}
