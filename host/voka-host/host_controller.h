#pragma once
// The controller of one power system in voka-host: it acts on every host call
// of the system's devices. Commands go to the system's line exchange, images
// and conditions to the event stream, stored images to the history, work
// items to the worker thread, rule batches to the alarm engine.
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/interface/ztx_controller.h"
#include "host/voka-host/events/event.h"
#include "host/voka-host/history/history_sink.h"
#include "host/voka-host/base/thread_annotations.h"

class AlarmEngine;
class LineExchange;
class WorkQueue;

class HostController final : public ZTXController {
public:
    struct Services {
        EventSink& events;
        WorkQueue& work;
        AlarmEngine& alarms;
        HistorySink* history = nullptr;  // none: images are not stored
    };

    HostController(std::string system, Services services, std::chrono::milliseconds poll_interval);

    void set_exchange(LineExchange* exchange) { exchange_ = exchange; }
    const std::string& system() const { return system_; }

    // Starts collecting what the next exchange brings; takes what it brought.
    // The work items of a round are queued as one, whose history writes
    // share one transaction.
    void begin_exchange();
    RoundReport end_exchange();

    void log_message(const char* fmt, const std::vector<std::string>& args) override;
    bool device_initialised(ZTXVDevice& device, ZTXVDevice* parent, unsigned id, const Json::Value& config) override;
    void publish(ZTXVDevice& device, int type, std::span<const uint8_t> image, bool flag) override;
    void threshold_reported(ZTXVDevice& device, const rule_value& rule) override;
    void queue_work(ZTXVDevice& device, std::function<void()> item) override;
    bool evaluate_rules(ZTXVDevice& device, const std::vector<rule_value>& rules) override;
    void save_history(ZTXVDevice& device, std::span<const uint8_t> image) override;
    bool may_poll(ZTXSPDevice& device) override;
    // When may_poll() next lets a round start: now, before the first round.
    std::chrono::steady_clock::time_point next_poll_at() const { return last_round_start_ + poll_interval_; }
    void exchange_ended(ZTXSPDevice& device) override;
    int write_line(ZTXSPDevice& device, std::span<const uint8_t> bytes) override;
    void send_command(PMBusProtocol& device, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) override;

private:
    // Round state: the polling thread's alone (begin/end_exchange and the
    // hooks it drives while it holds the system's device mutex).
    std::string system_;
    Services services_;
    std::chrono::milliseconds poll_interval_;
    std::chrono::steady_clock::time_point last_round_start_{};
    bool polled_once_ = false;
    LineExchange* exchange_ = nullptr;
    RoundReport current_;
    bool in_exchange_ = false;
    std::vector<std::function<void()>> round_work_;
    unsigned rounds_ = 0;
    // The record type each device published last, for its history rows.
    // Written on the polling thread, read by the worker's history saves.
    Mutex record_types_mutex_;  // a leaf lock
    std::map<const ZTXVDevice*, int> record_types_ GUARDED_BY(record_types_mutex_);
};
