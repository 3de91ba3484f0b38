#pragma once
// One configured power system in voka-host: its master device with its
// children, its line, and the polling thread that runs its rounds.
//
// The plug-in takes no locks, so the host serialises: a device's Get_Value
// and LoadFromCache never run while its master is parsing or ending a round
// (query() and the polling thread share one mutex).
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "host/pmbus_protocol.h"
#include "host_program/host_controller.h"
#include "host_program/site_config.h"
#include "line/line_exchange.h"
#include "line/serial_line.h"

class PluginLibrary;

class PowerSystem {
public:
    // Opens the line of a configured master (its baud rate is known then).
    using LineOpener = std::function<std::unique_ptr<ByteLine>(const PMBusProtocol& master)>;

    // Makes and configures the master from the plug-in, then opens its line.
    // Throws ConfigError when the plug-in has no such device or the master
    // refuses its configuration, and whatever `open_line` throws.
    PowerSystem(const PowerSystemConfig& config, const PluginLibrary& plugin, HostController::Services services,
                const LineOpener& open_line);
    ~PowerSystem();
    PowerSystem(const PowerSystem&) = delete;
    PowerSystem& operator=(const PowerSystem&) = delete;

    const std::string& name() const { return config_.name; }

    // Starts polling; after each complete round `after_round` runs on the
    // polling thread, outside the device lock.
    void start(std::function<void(PowerSystem&, unsigned round)> after_round);
    void stop();
    // Ends polling after the exchange in progress; callable from the polling thread.
    void request_stop() {
        stopping_ = true;
        wake_.notify_all();
    }

    // Whether a child device carries this data id.
    bool has_device(unsigned data_id);
    // Get_Value of the child device with this data id: the value, or the text
    // of the refusal.
    std::variant<float, std::string> query(unsigned data_id, const std::string& key);
    // Hands a stored image to the child device with this data id and record
    // type; nothing when there is no such device.
    std::optional<bool> load_from_cache(unsigned data_id, const std::string& device_type,
                                        std::span<const uint8_t> image);

    // Exchanges so far, by how they ended (read on the polling thread or after stop()).
    const ExchangeCounters& counters() const { return exchange_->counters(); }

private:
    void poll_loop();
    unsigned rejected_so_far() const;

    PowerSystemConfig config_;
    EventSink& events_;
    std::shared_ptr<HostController> controller_;
    std::shared_ptr<ZTXSPDevice> device_;
    PMBusProtocol* master_ = nullptr;
    std::unique_ptr<ByteLine> line_;
    std::unique_ptr<LineExchange> exchange_;
    std::mutex devices_;  // held while the master parses or ends a round, and by queries
    std::function<void(PowerSystem&, unsigned)> after_round_;
    std::atomic<bool> stopping_{false};
    std::mutex wait_mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};
