#pragma once
// A real mosquitto broker for a test, on a free port of the loopback, from a
// configuration written into the test's folder; and a subscriber on
// libmosquitto that keeps every message it gets and comes back by itself
// after the broker has been away. A machine without the broker fails the
// test: it cannot be checked without one.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace mqtt_test {

inline const std::string kBroker = "/usr/sbin/mosquitto";

// A loopback address; `port` 0 lets the system choose.
inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
}

inline bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

class Broker {
public:
    // `settings`: lines after the listener's (TLS files, password file, persistence).
    Broker(const std::filesystem::path& dir, const std::string& settings) : port(free_port()), conf_((dir / "broker.conf").string()) {
        {
            std::ofstream out(conf_);
            out << "listener " << port << " 127.0.0.1\n" << settings << "\n";
            if (geteuid() == 0) out << "user root\n";  // keep reading the test's files
        }
        start();
    }
    ~Broker() { stop(); }

    void start() {
        EXPECT_TRUE(std::filesystem::exists(kBroker)) << kBroker << " is missing: install mosquitto (scripts/install-deps.sh)";
        process_ = std::make_unique<ChildProcess>(kBroker, std::vector<std::string>{"-c", conf_}, /*emulated=*/false);
        // Polled, so the bound costs nothing when the broker is quick; a busy
        // machine (a sanitizer suite beside a build) may take seconds to start it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!accepts(port) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(accepts(port)) << "the broker did not start: " << process_->errors();
    }
    void stop() {
        if (!process_) return;
        process_->signal(SIGTERM);
        process_->exit_status();
        process_.reset();
    }

    const int port;

private:
    std::string conf_;
    std::unique_ptr<ChildProcess> process_;
};

struct Message {
    std::string topic, payload;
    bool retained;
};

class Subscriber {
public:
    struct Options {
        std::string client_id = {};
        bool persistent = false;  // a session the broker keeps while it is away
        std::string username = {}, password = {};
        std::string ca_file = {};
        std::string host = "127.0.0.1";
    };

    Subscriber(int port, std::vector<std::string> topics, Options o) : topics_(std::move(topics)) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(o.client_id.empty() ? nullptr : o.client_id.c_str(), !o.persistent, this);
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        if (!o.username.empty()) mosquitto_username_pw_set(mosq_, o.username.c_str(), o.password.c_str());
        if (!o.ca_file.empty()) mosquitto_tls_set(mosq_, o.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc != 0) return;
            for (const auto& t : static_cast<Subscriber*>(self)->topics_) mosquitto_subscribe(m, nullptr, t.c_str(), 1);
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mutex_);
            s->messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
            s->arrived_.notify_all();
        });
        EXPECT_EQ(mosquitto_connect(mosq_, o.host.c_str(), port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }

    std::vector<Message> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<Message> on(const std::string& topic) const {
        std::vector<Message> out = messages();
        std::erase_if(out, [&](const Message& m) { return m.topic != topic; });
        return out;
    }
    // Waits until `done` holds for the messages so far; false after `timeout_ms`.
    bool wait_for(const std::function<bool(const std::vector<Message>&)>& done, int timeout_ms = 20'000) const {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(messages_); });
    }
    // Waits for a message on `topic`, with `payload` unless that is empty.
    bool wait_for_payload(const std::string& topic, const std::string& payload = "", int timeout_ms = 20'000) const {
        return wait_for([&](const std::vector<Message>& all) {
            return std::any_of(all.begin(), all.end(), [&](const Message& m) {
                return m.topic == topic && (payload.empty() || m.payload == payload);
            });
        }, timeout_ms);
    }

private:
    std::vector<std::string> topics_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Message> messages_;
};

}  // namespace mqtt_test
