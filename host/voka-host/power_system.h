#pragma once
// One configured power system in voka-host: its master device with its
// children, its line, and the polling thread that runs its rounds.
//
// The line can go away (a USB adapter pulled out, a port that fails): the
// system then closes it and reopens it with a back-off, and polls again once
// it works, on its own. Its state is "ok", "reconnecting" (no working line)
// or "stale" (stale_after_rounds rounds in a row failed; a communication-lost
// alarm stands until the next complete round).
//
// The plug-in takes no locks, so the host serialises: the system's device
// mutex is held whenever any thread calls into its devices (the polling
// thread for a whole exchange, the main thread configuring the master and
// for LoadFromCache, any thread for Get_Value through query()). Under it,
// the devices' hooks take the event sinks' and the controller's own leaf
// locks. The worker thread's round-end items do not take it. The line, the
// exchange and the state belong to the polling thread alone once started.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "host/interface/pmbus_protocol.h"
#include "host/voka-host/host_controller.h"
#include "host/voka-host/line_checks/diagnosis.h"
#include "host/voka-host/site_config.h"
#include "host/voka-host/base/thread_annotations.h"
#include "host/line/line_exchange.h"
#include "host/line/serial_line.h"

class PluginLibrary;

// The power system's master as the plug-in makes it, holding its element:
// the check every start, reload and `voka-host config check` makes of a power
// system before anything is opened. `controller` may be null (nothing runs).
// Throws ConfigError when the plug-in makes no master of the configured type,
// the master refuses its element, or the answer time-out is shorter than the
// longest answer takes on the wire.
std::shared_ptr<ZTXSPDevice> make_master(const PowerSystemConfig& config, const PluginLibrary& plugin,
                                         const std::shared_ptr<ZTXController>& controller);

// The alarm a power system raises while its data are stale.
inline constexpr const char* kCommLostRule = "COMM_0";
inline constexpr const char* kCommLostCode = "70320";
inline constexpr const char* kCommLostName = "通信中断";
inline constexpr const char* kCommLostText = "电源系统通信中断告警";
inline constexpr uint8_t kCommLostGrade = 3;

class PowerSystem {
public:
    // Opens the line of a configured master (its baud rate is known then).
    // Throws std::system_error when the port cannot be opened.
    using LineOpener = std::function<std::unique_ptr<ByteLine>(const PMBusProtocol& master)>;

    enum class State : uint8_t { ok, stale, reconnecting };

    struct Hooks {
        // After each complete round, on the polling thread, outside the device lock.
        std::function<void(PowerSystem&, unsigned round)> after_round;
        // Once, when the system gives up (polling has stopped): after
        // `give_up_after` consecutive failed attempts, or after reconnecting
        // for reconnect_give_up_ms(). `why` says which, with the diagnosis.
        std::function<void(PowerSystem&, const std::string& why)> gave_up;
        unsigned give_up_after = 0;  // 0: never give up
    };

    // Makes and configures the master from the plug-in; the line is opened by
    // start(). Throws ConfigError when the plug-in has no such device, the
    // master refuses its configuration, or answer_timeout_ms is shorter than
    // the site's longest answer takes on the wire.
    PowerSystem(const PowerSystemConfig& config, const PluginLibrary& plugin, HostController::Services services,
                LineOpener open_line);
    ~PowerSystem();
    PowerSystem(const PowerSystem&) = delete;
    PowerSystem& operator=(const PowerSystem&) = delete;

    const std::string& name() const { return config_.name; }

    // Opens the line, before anything else of the run is made. A port that
    // cannot be opened is the reconnecting state, or, with `line_required`,
    // std::system_error.
    void open(bool line_required);
    // Starts polling (after open()).
    void start(Hooks hooks);
    // Ends the exchange in progress (within LineExchange::kStopCheck; a round
    // cut short publishes nothing) and waits for the polling thread.
    void stop();
    // Ends polling, and the exchange in progress; callable from the polling thread.
    void request_stop() {
        stopping_ = true;
        { std::lock_guard passed(wait_mutex_); }  // the polling thread is either waiting or sees the flag
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
                                        std::span<const uint8_t> image);

    // The running totals, from any thread.
    event::Stats stats() const;

    // How long a system that gives up after `give_up_after` attempts may go
    // without a port: as long as that many attempts may take (each up to
    // answer_timeout_ms), but never before one reopening has been tried.
    std::chrono::milliseconds reconnect_give_up_ms(unsigned give_up_after) const;

private:
    using Clock = std::chrono::steady_clock;
    void poll_loop();
    void try_reopen();
    void line_failed(const std::string& why);
    void round_ended(const RoundReport& report, ExchangeEnd end);
    void attempt_failed(const FailedAttempt& f);
    void count_failure(std::string diagnosis);
    void give_up(const std::string& why);
    void update_state(const std::string& why);
    void comm_lost(bool holds);
    void publish_stats();

    PowerSystemConfig config_;
    HostController::Services services_;
    LineOpener open_line_;
    std::shared_ptr<HostController> controller_;
    std::shared_ptr<ZTXSPDevice> device_;
    PMBusProtocol* master_ = nullptr;
    std::map<uint16_t, int> answer_ms_;
    LineSetting setting_;

    // Polling thread only (after start).
    std::unique_ptr<ByteLine> line_;  // null while reconnecting
    std::unique_ptr<ByteLine> closed_line_;
    std::unique_ptr<LineExchange> exchange_;
    Hooks hooks_;
    State state_ = State::ok;
    unsigned failed_rounds_ = 0;
    unsigned failed_attempts_ = 0;  // consecutive, until a round completes
    std::string last_diagnosis_;
    bool opened_once_ = false;
    std::chrono::milliseconds backoff_{0};
    Clock::time_point next_open_at_{};
    Clock::time_point reconnecting_since_{};
    bool gave_up_ = false;

    Mutex devices_;  // held while the master parses or ends a round, and by queries
    mutable Mutex stats_mutex_;
    event::Stats stats_ GUARDED_BY(stats_mutex_);
    std::atomic<bool> stopping_{false};
    std::mutex wait_mutex_;  // guards nothing: the pause between ticks waits on it
    std::condition_variable wake_;
    std::thread thread_;
};

std::string_view to_string(PowerSystem::State s);
