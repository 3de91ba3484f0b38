#include "host_program/power_system.h"

#include <chrono>
#include <stdexcept>

#include <fmt/format.h>

#include "host_program/plugin_library.h"

namespace {
constexpr auto kTick = std::chrono::milliseconds(20);  // how often the line is offered to the master
}

PowerSystem::PowerSystem(const PowerSystemConfig& config, const PluginLibrary& plugin,
                         HostController::Services services, const LineOpener& open_line)
    : config_(config),
      events_(services.events),
      controller_(std::make_shared<HostController>(config.name, services,
                                                   std::chrono::milliseconds(config.poll_interval_ms))) {
    device_ = plugin.create(config.device_type);
    master_ = dynamic_cast<PMBusProtocol*>(device_.get());
    if (!master_)
        throw ConfigError(fmt::format("power system \"{}\": plug-in {} makes no \"{}\" master", config.name,
                                      plugin.path(), config.device_type));
    master_->controller = controller_;
    master_->data_id = config.data_id;
    if (!master_->InitSetting(config.element))
        throw ConfigError(fmt::format("power system \"{}\": the {} master refused its configuration", config.name,
                                      config.device_type));
    line_ = open_line(*master_);
    exchange_ = std::make_unique<LineExchange>(*line_, [this](std::string_view text) {
        events_.handle(event::Rejected{config_.name, std::string(text)});
    });
    controller_->set_exchange(exchange_.get());
}

PowerSystem::~PowerSystem() { stop(); }

void PowerSystem::start(std::function<void(PowerSystem&, unsigned)> after_round) {
    after_round_ = std::move(after_round);
    thread_ = std::thread([this] { poll_loop(); });
}

void PowerSystem::stop() {
    stopping_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

unsigned PowerSystem::rejected_so_far() const {
    unsigned n = 0;
    for (unsigned r : exchange_->counters().rejected) n += r;
    return n;
}

void PowerSystem::poll_loop() {
    while (!stopping_) {
        std::optional<RoundReport> report;
        {
            MutexLock lock(devices_);
            controller_->begin_exchange();
            if (master_->RefreshStatus()) {
                const unsigned rejected_before = rejected_so_far();
                const auto start = std::chrono::steady_clock::now();
                const ExchangeEnd end = exchange_->run(*master_);
                report = controller_->end_exchange();
                report->outcome = std::string(to_string(end));
                if (end == ExchangeEnd::answered && !report->complete) report->outcome = "dropped by the master";
                report->duration_ms =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                report->rejected_frames = rejected_so_far() - rejected_before;
                report->timeouts = exchange_->counters().exchanges(ExchangeEnd::timed_out);
            } else {
                exchange_->drain();  // what comes between exchanges answers nothing
            }
        }
        if (report) {
            events_.handle(event::RoundEnded{*report});
            if (report->complete && after_round_) after_round_(*this, report->round);
        }
        std::unique_lock wait(wait_mutex_);
        wake_.wait_for(wait, kTick, [this] { return stopping_.load(); });
    }
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
