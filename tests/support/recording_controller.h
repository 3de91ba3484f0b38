#pragma once
// A controller that records every host call a device makes, with all its
// arguments, for tests to inspect. Thread-safe: work items may run on another
// thread. Work items are held until the test runs them, unless run_work_inline.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/interface/pmbus_protocol.h"
#include "host/interface/ztx_controller.h"

class RecordingController : public ZTXController {
public:
    struct LogEntry { std::string format; std::vector<std::string> args; std::string text; };
    struct Published { uint32_t data_id; int type; std::vector<uint8_t> image; bool flag; };
    struct Threshold { uint32_t data_id; rule_value rule; };
    struct Saved { uint32_t data_id; std::vector<uint8_t> image; };
    struct Command {
        uint8_t cid1;
        uint8_t cid2;
        std::vector<uint8_t> info;
        bool operator==(const Command&) const = default;
    };
    struct Initialised { uint32_t id; ZTXVDevice* device; ZTXVDevice* parent; Json::Value config; };

    void log_message(const char* fmt, const std::vector<std::string>& args) override;
    bool device_initialised(ZTXVDevice& device, ZTXVDevice* parent, unsigned id, const Json::Value& config) override;
    void publish(ZTXVDevice& device, int type, std::span<const uint8_t> image, bool flag) override;
    void threshold_reported(ZTXVDevice& device, const rule_value& rule) override;
    void queue_work(ZTXVDevice& device, std::function<void()> item) override;
    bool evaluate_rules(ZTXVDevice& device, const std::vector<rule_value>& rules) override;
    void save_history(ZTXVDevice& device, std::span<const uint8_t> image) override;
    bool may_poll(ZTXSPDevice& device) override;
    void exchange_ended(ZTXSPDevice& device) override;
    int write_line(ZTXSPDevice& device, std::span<const uint8_t> bytes) override;
    void send_command(PMBusProtocol& device, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) override;

    // Runs the held work items in the order they came; returns how many ran.
    size_t run_held_work();

    // Settings tests may change before the device acts.
    bool run_work_inline = false;
    bool poll_allowed = true;
    bool rules_result = false;
    bool accept_devices = true;

    // Copies of what was recorded so far.
    std::vector<LogEntry> logs() const { return locked(logs_); }
    std::vector<Published> published() const { return locked(published_); }
    std::vector<Threshold> thresholds() const { return locked(thresholds_); }
    std::vector<std::vector<rule_value>> evaluated() const { return locked(evaluated_); }
    std::vector<Saved> saved() const { return locked(saved_); }
    std::vector<Command> commands() const { return locked(commands_); }
    std::vector<Initialised> initialised() const { return locked(initialised_); }
    std::vector<std::vector<uint8_t>> line_writes() const { return locked(line_writes_); }
    unsigned exchanges_ended() const { return locked(exchanges_ended_); }
    unsigned poll_requests() const { return locked(poll_requests_); }
    size_t held_work() const { return locked(held_).size(); }
    std::vector<std::string> log_texts() const;

private:
    template <class T>
    T locked(const T& member) const {
        std::lock_guard lock(mutex_);
        return member;
    }

    mutable std::mutex mutex_;
    std::vector<LogEntry> logs_;
    std::vector<Published> published_;
    std::vector<Threshold> thresholds_;
    std::vector<std::vector<rule_value>> evaluated_;
    std::vector<Saved> saved_;
    std::vector<Command> commands_;
    std::vector<Initialised> initialised_;
    std::vector<std::vector<uint8_t>> line_writes_;
    std::vector<std::function<void()>> held_;
    unsigned exchanges_ended_ = 0;
    unsigned poll_requests_ = 0;
};
