#pragma once
// One configured power system in voka-host: its master device with its
// children, its line, and the polling thread that runs its rounds.
//
// The plug-in takes no locks, so the host serialises: the system's device
// mutex is held whenever any thread calls into its devices (the polling
// thread for a whole exchange, the main thread configuring the master and
// for LoadFromCache, any thread for Get_Value through query()). Under it,
// the devices' hooks take the output's and the controller's own leaf locks.
// The worker thread's round-end items do not take it.
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
#include "host_program/thread_annotations.h"
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
    bool has_device(unsigned data_id) EXCLUDES(devices_);
    // Get_Value of the child device with this data id: the value, or the text
    // of the refusal.
    std::variant<float, std::string> query(unsigned data_id, const std::string& key) EXCLUDES(devices_);
    // Hands a stored image to the child device with this data id and record
    // type; nothing when there is no such device.
    std::optional<bool> load_from_cache(unsigned data_id, const std::string& device_type,
                                        std::span<const uint8_t> image) EXCLUDES(devices_);

private:
    void poll_loop() EXCLUDES(devices_);
    unsigned rejected_so_far() const REQUIRES(devices_);

    PowerSystemConfig config_;
    EventSink& events_;
    std::shared_ptr<HostController> controller_;
    Mutex devices_;  // the master, its children and its exchange on the line
    std::shared_ptr<ZTXSPDevice> device_ GUARDED_BY(devices_);
    PMBusProtocol* master_ PT_GUARDED_BY(devices_) = nullptr;
    std::unique_ptr<ByteLine> line_;
    std::unique_ptr<LineExchange> exchange_ GUARDED_BY(devices_);
    std::function<void(PowerSystem&, unsigned)> after_round_;
    std::atomic<bool> stopping_{false};
    std::mutex wait_mutex_;  // guards nothing: the pause between ticks waits on it
    std::condition_variable wake_;
    std::thread thread_;
};
