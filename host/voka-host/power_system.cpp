#include "host/voka-host/power_system.h"

#include <algorithm>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "host/voka-host/alarms/alarm_engine.h"
#include "host/voka-host/line_checks/answer_time.h"
#include "host/voka-host/plugin_library.h"

namespace {

constexpr auto kTick = std::chrono::milliseconds(20);  // how often the line is offered to the master

// The line of a power system whose port is closed: every use fails.
class ClosedLine final : public ByteLine {
public:
    std::error_code write_all(std::span<const uint8_t>) override { return std::make_error_code(std::errc::not_connected); }
    LineRead read_some(std::span<uint8_t>, int) override { return {0, std::make_error_code(std::errc::not_connected)}; }
};

}  // namespace

std::shared_ptr<ZTXSPDevice> make_master(const PowerSystemConfig& config, const PluginLibrary& plugin,
                                         const std::shared_ptr<ZTXController>& controller) {
    std::shared_ptr<ZTXSPDevice> device = plugin.create(config.device_type);
    auto* master = dynamic_cast<PMBusProtocol*>(device.get());
    if (!master)
        throw ConfigError(fmt::format("power system \"{}\": plug-in {} makes no \"{}\" master", config.name,
                                      plugin.path(), config.device_type));
    master->controller = controller;
    master->data_id = config.data_id;
    if (!master->InitSetting(config.element))
        throw ConfigError(fmt::format("power system \"{}\": the {} master refused its configuration", config.name,
                                      config.device_type));
    if (const std::string problem = check_answer_timeout(config, master->baud_rate, master->answer_timeout_ms);
        !problem.empty())
        throw ConfigError(problem);
    return device;
}

std::string_view to_string(PowerSystem::State s) {
    switch (s) {
        case PowerSystem::State::ok: return "ok";
        case PowerSystem::State::stale: return "stale";
        case PowerSystem::State::reconnecting: return "reconnecting";
    }
    return "unknown";
}

PowerSystem::PowerSystem(const PowerSystemConfig& config, const PluginLibrary& plugin,
                         HostController::Services services, LineOpener open_line)
    : config_(config),
      services_(services),
      open_line_(std::move(open_line)),
      controller_(std::make_shared<HostController>(config.name, services,
                                                   std::chrono::milliseconds(config.poll_interval_ms))) {
    device_ = make_master(config, plugin, controller_);
    master_ = dynamic_cast<PMBusProtocol*>(device_.get());
    answer_ms_ = answer_wire_ms(config, master_->baud_rate);
    setting_ = {master_->address,          master_->baud_rate,
                master_->answer_timeout_ms, config.ac_data_ids.size(),
                config.dc_data_ids.size(), &answer_ms_};
    closed_line_ = std::make_unique<ClosedLine>();
    exchange_ = std::make_unique<LineExchange>(
        *closed_line_,
        [this](std::string_view text) { services_.events.handle(event::Dropped{config_.name, std::string(text)}); },
        [this](const FailedAttempt& f) { attempt_failed(f); });
    exchange_->set_retries(config.retries);
    exchange_->watch_stop(stopping_);  // stop() ends the exchange in progress, however slow the line
    controller_->set_exchange(exchange_.get());
    stats_.system = config.name;
}

PowerSystem::~PowerSystem() { stop(); }

void PowerSystem::open(bool line_required) {
    try {
        line_ = open_line_(*master_);
        exchange_->set_line(*line_);
        opened_once_ = true;
    } catch (const std::system_error& e) {
        if (line_required) throw;
        line_failed(e.what());
    }
}

void PowerSystem::start(Hooks hooks) {
    hooks_ = std::move(hooks);
    thread_ = std::thread([this] { poll_loop(); });
}

void PowerSystem::stop() {
    request_stop();
    if (thread_.joinable()) thread_.join();
}

event::Stats PowerSystem::stats() const {
    MutexLock lock(stats_mutex_);
    return stats_;
}

void PowerSystem::publish_stats() {
    MutexLock lock(stats_mutex_);
    stats_.counters = exchange_->counters();
}

void PowerSystem::comm_lost(bool holds) {
    rule_value rule;
    rule.grade = kCommLostGrade;
    rule.rule_id = kCommLostRule;
    rule.alarm_code = kCommLostCode;
    rule.data_id = config_.data_id;
    rule.holds = holds ? 1 : 0;
    rule.alarm_name = kCommLostName;
    rule.text = kCommLostText;
    services_.alarms.evaluate(config_.data_id, {rule}, static_cast<int64_t>(std::time(nullptr)));
}

void PowerSystem::update_state(const std::string& why) {
    const State now = failed_rounds_ >= config_.stale_after_rounds ? State::stale
                      : !line_                                     ? State::reconnecting
                                                                   : State::ok;
    if (now == state_) return;
    state_ = now;
    services_.events.handle(event::StateChanged{config_.name, std::string(to_string(now)), why});
    if (now == State::stale) comm_lost(true);
}

std::chrono::milliseconds PowerSystem::reconnect_give_up_ms(unsigned give_up_after) const {
    const auto attempts = std::chrono::milliseconds(int64_t{give_up_after} * master_->answer_timeout_ms);
    return std::max(attempts, std::chrono::milliseconds(config_.reconnect_min_ms));
}

void PowerSystem::give_up(const std::string& why) {
    if (gave_up_) return;
    gave_up_ = true;
    request_stop();
    if (hooks_.gave_up) hooks_.gave_up(*this, why);
}

void PowerSystem::count_failure(std::string diagnosis) {
    ++failed_attempts_;
    last_diagnosis_ = std::move(diagnosis);
    if (hooks_.give_up_after && failed_attempts_ == hooks_.give_up_after)
        give_up(fmt::format("gave up after {} failed attempts in a row: {}", failed_attempts_, last_diagnosis_));
}

void PowerSystem::attempt_failed(const FailedAttempt& f) {
    const std::string text = fmt::format("CID1 0x{:02X} CID2 0x{:02X} attempt {}: {}{}", f.cid1, f.cid2, f.attempt,
                                         describe(f, master_->answer_timeout_ms), f.will_retry ? ", retrying" : "");
    services_.events.handle(event::Attempt{config_.name, f, text});
    count_failure(diagnose(f, setting_));
}

void PowerSystem::line_failed(const std::string& why) {
    line_.reset();
    exchange_->set_line(*closed_line_);
    backoff_ = std::chrono::milliseconds(config_.reconnect_min_ms);
    reconnecting_since_ = Clock::now();
    next_open_at_ = reconnecting_since_ + backoff_;
    update_state(why);
}

void PowerSystem::try_reopen() {
    // Reopenings are few and far between once the back-off has grown, so a
    // system that must give up also does when it has waited long enough,
    // after one last try then.
    std::optional<Clock::time_point> give_up_at;
    if (hooks_.give_up_after) give_up_at = reconnecting_since_ + reconnect_give_up_ms(hooks_.give_up_after);
    const auto now = Clock::now();
    if (now < next_open_at_ && !(give_up_at && now >= *give_up_at)) return;
    try {
        line_ = open_line_(*master_);
        exchange_->set_line(*line_);
        if (opened_once_) {
            MutexLock lock(stats_mutex_);
            ++stats_.reopenings;
        }
        opened_once_ = true;
        update_state("the port is open again");
    } catch (const std::system_error& e) {
        backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(config_.reconnect_max_ms));
        next_open_at_ = Clock::now() + backoff_;
        if (give_up_at) next_open_at_ = std::min(next_open_at_, *give_up_at);
        ++failed_rounds_;  // a round that could not even start
        update_state(fmt::format("{} rounds failed; {}", failed_rounds_, e.what()));
        if (give_up_at && now >= *give_up_at) {
            const auto waited = std::chrono::duration<double>(Clock::now() - reconnecting_since_).count();
            give_up(fmt::format("gave up reconnecting after {:.1f} s (as long as {} attempts may take): {} "
                                "(check that the port is there: cable, adapter, device name)",
                                waited, hooks_.give_up_after, e.what()));
            return;
        }
        count_failure(e.what());
    }
}

void PowerSystem::round_ended(const RoundReport& report, ExchangeEnd end) {
    if (end == ExchangeEnd::stopped) return;  // cut short by the host: says nothing about the line
    if (report.complete) {
        failed_rounds_ = 0;
        failed_attempts_ = 0;
        update_state("a round completed");
        comm_lost(false);  // also ends one left standing from before a restart
        return;
    }
    ++failed_rounds_;
    if (end == ExchangeEnd::refused || end == ExchangeEnd::answered) {  // answered: the master dropped the round
        const auto [cid1, cid2] = exchange_->last_command();
        count_failure(diagnose_refusal(cid1, cid2, exchange_->last_answer(), setting_));
    }
    if (end == ExchangeEnd::line_failed)
        line_failed(fmt::format("the line failed: {}", report.outcome));
    else
        update_state(fmt::format("{} rounds failed in a row", failed_rounds_));
}

void PowerSystem::poll_loop() {
    while (!stopping_) {
        if (!line_) {
            try_reopen();
        } else {
            std::optional<RoundReport> report;
            ExchangeEnd end = ExchangeEnd::not_sent;
            {
                MutexLock lock(devices_);
                controller_->begin_exchange();
                if (master_->RefreshStatus()) {
                    const auto start = Clock::now();
                    end = exchange_->run(*master_);
                    report = controller_->end_exchange();
                    report->outcome = std::string(to_string(end));
                    if (end == ExchangeEnd::answered && !report->complete) report->outcome = "dropped by the master";
                    report->duration_ms =
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                } else {
                    exchange_->drain();  // what comes between exchanges answers nothing
                }
            }
            if (report) {
                publish_stats();
                {
                    MutexLock lock(stats_mutex_);
                    report->counters = stats_.counters;
                    report->reopenings = stats_.reopenings;
                }
                services_.events.handle(event::RoundEnded{*report});
                round_ended(*report, end);
                if (report->complete && hooks_.after_round) hooks_.after_round(*this, report->round);
            }
        }
        // With the line open nothing is due before the next round may start:
        // one wake-up then rather than one a tick (each costs the controller).
        auto until = Clock::now() + kTick;
        if (line_) until = std::max(until, controller_->next_poll_at());
        std::unique_lock wait(wait_mutex_);
        wake_.wait_until(wait, until, [this] { return stopping_.load(); });
    }
    publish_stats();
}

bool PowerSystem::has_device(unsigned data_id) {
    MutexLock lock(devices_);
    for (const auto& child : master_->GetAllChildVDevices())
        if (child->DataId() == data_id) return true;
    return false;
}

std::variant<float, std::string> PowerSystem::query(unsigned data_id, const std::string& key) {
    MutexLock lock(devices_);
    for (const auto& child : master_->GetAllChildVDevices()) {
        if (child->DataId() != data_id) continue;
        try {
            return child->Get_Value(data_id, key);
        } catch (const std::out_of_range& e) {
            return std::string(e.what());
        }
    }
    return fmt::format("no device {} in power system \"{}\"", data_id, config_.name);
}

std::optional<bool> PowerSystem::load_from_cache(unsigned data_id, const std::string& device_type,
                                                 std::span<const uint8_t> image) {
    MutexLock lock(devices_);
    for (const auto& child : master_->GetAllChildVDevices())
        if (child->DataId() == data_id && child->DeviceType() == device_type)
            return child->LoadFromCache(image.data(), static_cast<int>(image.size()));
    return std::nullopt;
}
