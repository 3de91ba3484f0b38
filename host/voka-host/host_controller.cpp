#include "host/voka-host/host_controller.h"

#include <ctime>

#include "host/core/log_format.h"
#include "host/voka-host/alarms/alarm_engine.h"
#include "host/voka-host/records/record_types.h"
#include "host/voka-host/work_queue.h"
#include "host/line/line_exchange.h"

HostController::HostController(std::string system, Services services, std::chrono::milliseconds poll_interval)
    : system_(std::move(system)), services_(services), poll_interval_(poll_interval) {}

void HostController::begin_exchange() {
    in_exchange_ = true;
    current_ = RoundReport{};
    current_.system = system_;
}

RoundReport HostController::end_exchange() {
    in_exchange_ = false;
    if (!round_work_.empty()) {
        services_.work.push([items = std::move(round_work_), history = services_.history] {
            const auto run = [&items] {
                for (const auto& item : items) item();
            };
            if (history)
                history->in_one_transaction(run);
            else
                run();
        });
        round_work_.clear();
    }
    RoundReport report = std::move(current_);
    report.complete = !report.records.empty();  // children publish only when a round ends
    if (report.complete) ++rounds_;
    report.round = rounds_;
    current_ = RoundReport{};
    return report;
}

void HostController::log_message(const char* fmt, const std::vector<std::string>& args) {
    services_.events.handle(event::Log{system_, format_log_message(fmt ? fmt : "", args)});
}

bool HostController::device_initialised(ZTXVDevice&, ZTXVDevice*, unsigned, const Json::Value&) { return true; }

void HostController::publish(ZTXVDevice& device, int type, std::span<const uint8_t> image, bool) {
    event::RecordPublished e{system_, {device.data_id, device.DeviceType(), type, decode_record(type, image)}};
    services_.events.handle(e);
    current_.records.push_back(std::move(e.record));
    MutexLock lock(record_types_mutex_);
    record_types_[&device] = type;
}

void HostController::threshold_reported(ZTXVDevice&, const rule_value& rule) {
    services_.events.handle(event::Condition{system_, rule});
    if (rule.holds) current_.holding.push_back(rule);
}

void HostController::queue_work(ZTXVDevice&, std::function<void()> item) {
    if (in_exchange_)
        round_work_.push_back(std::move(item));
    else
        services_.work.push(std::move(item));
}

bool HostController::evaluate_rules(ZTXVDevice& device, const std::vector<rule_value>& rules) {
    return services_.alarms.evaluate(device.data_id, rules, static_cast<int64_t>(std::time(nullptr)));
}

void HostController::save_history(ZTXVDevice& device, std::span<const uint8_t> image) {
    if (!services_.history) return;
    int type = 0;
    {
        MutexLock lock(record_types_mutex_);
        const auto it = record_types_.find(&device);
        if (it != record_types_.end()) type = it->second;
    }
    services_.history->save(device.data_id, type, device.DeviceType(), image);
}

bool HostController::may_poll(ZTXSPDevice&) {
    const auto now = std::chrono::steady_clock::now();
    if (polled_once_ && now - last_round_start_ < poll_interval_) return false;
    polled_once_ = true;
    last_round_start_ = now;
    return true;
}

void HostController::exchange_ended(ZTXSPDevice&) {}

// Devices of this host speak only through framed commands.
int HostController::write_line(ZTXSPDevice&, std::span<const uint8_t>) { return -1; }

void HostController::send_command(PMBusProtocol&, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) {
    if (exchange_) exchange_->submit(cid1, cid2, info);
}
