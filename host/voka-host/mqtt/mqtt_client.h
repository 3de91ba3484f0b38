#pragma once
// One connection to the broker on a thread of its own. post() only queues
// (into a bounded Outbox, under a leaf lock), so no polling thread ever
// waits for the network. The thread connects, sends what is queued while a
// session is up, and after any failure waits and tries again, the wait
// doubling from the configuration's reconnect_min_ms up to reconnect_max_ms.
//
// The session is persistent (clean session off, a fixed client id) and the
// will is set before every connection. At each new session the messages of
// `on_session` go first (status, retained state the broker may have lost,
// discovery), then whatever waited in the outbox. QoS 1 messages handed to
// the library and not yet acknowledged when the connection drops are sent
// again by the library itself on the next session.
//
// Trouble (cannot connect, refused, lost) goes to `notify` once per kind of
// trouble until a session is up again, so a wrong password is reported once
// and retried quietly. A TLS failure says why: what OpenSSL told the library
// while connecting ("certificate verify failed") and a certificate of ours
// not valid now.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/voka-host/base/host_figures.h"
#include "host/voka-host/mqtt/mqtt_config.h"
#include "host/voka-host/mqtt/mqtt_message.h"
#include "host/voka-host/mqtt/outbox.h"
#include "host/voka-host/base/thread_annotations.h"

struct mosquitto;

class MqttClient {
public:
    struct Options {
        std::string client_id;
        MqttMessage will;
        std::string offline_status;  // published on `will.topic` at a clean stop
        size_t state_limit = 1000;
        size_t event_limit = 10000;
    };
    using Notify = std::function<void(const std::string&)>;
    using SessionMessages = std::function<std::vector<MqttMessage>()>;

    // Sets the connection up; start() starts its thread (messages posted
    // before wait for it).
    MqttClient(const MqttConfig& config, Options options, SessionMessages on_session, Notify notify);
    void start();
    // Sends what is queued while a session is up (for a second at most),
    // publishes the offline status, disconnects and ends the thread.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void post(MqttMessage m) EXCLUDES(mutex_);

    uint64_t sent_messages() const { return sent_messages_; }
    // The connection's state and outbox now, for /metrics (any thread;
    // takes the leaf lock a moment). `system` is left for the caller.
    PublisherFigures figures() const EXCLUDES(mutex_);
    uint64_t sent_bytes() const { return sent_bytes_; }

private:
    void run();
    bool connect_once(bool first);
    void serve_session();
    void send(const MqttMessage& m);
    void finish();
    void wait(int ms) EXCLUDES(mutex_);
    // Sleeps until the broker's socket, a post or a stop needs the thread (at
    // most a quarter of the keep-alive), then reads, writes what the library
    // still holds and keeps the connection alive: the library's result.
    int serve_network();
    // Ends the sleep of serve_network (any thread).
    void wake_network();
    void trouble(const std::string& text);
    std::string where() const;
    bool stopping() const EXCLUDES(mutex_);

    std::string failure_text(int rc);

    static void on_connect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_log(mosquitto*, void* self, int level, const char* text);

    const MqttConfig config_;
    const Options options_;
    SessionMessages on_session_;
    Notify notify_;
    mosquitto* mosq_ = nullptr;
    int wake_fd_ = -1;  // an eventfd: a post or a stop wakes the client's thread through it

    std::atomic<bool> session_{false};  // written by the client's thread only; figures() reads it
    // Only the client's thread touches these.
    bool refused_ = false;
    std::string last_trouble_;
    int last_mid_ = -1, acknowledged_mid_ = -1;
    uint64_t reported_drops_ = 0;
    std::vector<std::string> tls_errors_;  // OpenSSL's reasons the library logged since the last failure

    mutable Mutex mutex_;  // a leaf lock: nothing is called under it
    std::condition_variable_any wake_;
    Outbox outbox_ GUARDED_BY(mutex_);
    bool stopping_ GUARDED_BY(mutex_) = false;

    std::atomic<uint64_t> sent_messages_{0}, sent_bytes_{0};
    std::thread thread_;
};
