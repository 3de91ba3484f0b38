#include "tests/support/recording_controller.h"

#include "host/core/log_format.h"

void RecordingController::log_message(const char* fmt, const std::vector<std::string>& args) {
    std::lock_guard lock(mutex_);
    logs_.push_back({fmt, args, format_log_message(fmt, args)});
}

bool RecordingController::device_initialised(ZTXVDevice& device, ZTXVDevice* parent, unsigned id,
                                             const Json::Value& config) {
    std::lock_guard lock(mutex_);
    initialised_.push_back({id, &device, parent, config});
    return accept_devices;
}

void RecordingController::publish(ZTXVDevice& device, int type, std::span<const uint8_t> image, bool flag) {
    std::lock_guard lock(mutex_);
    published_.push_back({device.data_id, type, {image.begin(), image.end()}, flag});
}

void RecordingController::threshold_reported(ZTXVDevice& device, const rule_value& rule) {
    std::lock_guard lock(mutex_);
    thresholds_.push_back({device.data_id, rule});
}

void RecordingController::queue_work(ZTXVDevice&, std::function<void()> item) {
    {
        std::lock_guard lock(mutex_);
        if (!run_work_inline) {
            held_.push_back(std::move(item));
            return;
        }
    }
    item();
}

bool RecordingController::evaluate_rules(ZTXVDevice&, const std::vector<rule_value>& rules) {
    std::lock_guard lock(mutex_);
    evaluated_.push_back(rules);
    return rules_result;
}

void RecordingController::save_history(ZTXVDevice& device, std::span<const uint8_t> image) {
    std::lock_guard lock(mutex_);
    saved_.push_back({device.data_id, {image.begin(), image.end()}});
}

bool RecordingController::may_poll(ZTXSPDevice&) {
    std::lock_guard lock(mutex_);
    ++poll_requests_;
    return poll_allowed;
}

void RecordingController::exchange_ended(ZTXSPDevice&) {
    std::lock_guard lock(mutex_);
    ++exchanges_ended_;
}

int RecordingController::write_line(ZTXSPDevice&, std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    line_writes_.emplace_back(bytes.begin(), bytes.end());
    return static_cast<int>(bytes.size());
}

void RecordingController::send_command(PMBusProtocol&, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) {
    std::lock_guard lock(mutex_);
    commands_.push_back({cid1, cid2, {info.begin(), info.end()}});
}

size_t RecordingController::run_held_work() {
    std::vector<std::function<void()>> items;
    {
        std::lock_guard lock(mutex_);
        items.swap(held_);
    }
    for (auto& item : items) item();  // unlocked: items call back into the controller
    return items.size();
}

std::vector<std::string> RecordingController::log_texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& e : logs_) texts.push_back(e.text);
    return texts;
}
