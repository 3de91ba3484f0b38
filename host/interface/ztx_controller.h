#pragma once
// The controller that owns devices. Every host operation a device calls
// reaches its controller through the hooks below: this is the one interface
// between the devices and the rest of the host (the host program acts on the
// calls, tests record them). A device whose controller has expired does nothing.
//
// Threads in voka-host (the plug-in takes no locks; the host serialises):
//   - the main thread configures a master (InitSetting, InitV: device_initialised)
//     and reloads stored images (LoadFromCache);
//   - each power system's polling thread runs its exchanges: RefreshStatus
//     (may_poll), write_pmbus_cmd (send_command), the answers' parsing and
//     every round end (publish, threshold_reported, queue_work), Reset
//     (exchange_ended);
//   - the one worker thread runs the queued items: DoBatchCheckThreshold
//     (evaluate_rules) and SaveDeviceHistory (save_history);
//   - Get_Value runs on the main thread or a polling thread between rounds;
//   - log_message may come from any of them.
// Every call into a system's devices but the worker's holds that system's
// device mutex (host/voka-host/power_system.h).
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "host/interface/log_text.h"
#include "host/interface/rule_value.h"

namespace Json { class Value; }
class ZTXVDevice;
class ZTXSPDevice;
class PMBusProtocol;

class ZTXController {
public:
    virtual ~ZTXController() = default;

    // Devices log through here. The arguments become text in the caller; the
    // host fills the "{}" placeholders of `fmt` with them in order
    // (format_log_message, host/core/log_format.h).
    template <class... Args>
    void InfoLog(const char* fmt, const Args&... args) {
        log_message(fmt, std::vector<std::string>{host_log::text_of(args)...});
    }

    virtual void log_message(const char* fmt, const std::vector<std::string>& args) = 0;

    // ZTXVDevice::InitV: the host learns of a configured device; false fails it.
    virtual bool device_initialised(ZTXVDevice& device, ZTXVDevice* parent, unsigned id,
                                    const Json::Value& config) = 0;
    // ZTXVDevice::SendSP: a record image published under its record type number.
    virtual void publish(ZTXVDevice& device, int type, std::span<const uint8_t> image, bool flag) = 0;
    // ZTXVDevice::CheckThresholdBool: one alarm condition of this round.
    virtual void threshold_reported(ZTXVDevice& device, const rule_value& rule) = 0;
    // ZTXVDevice::CheckThresholdWork: an item the host runs when and where it decides.
    virtual void queue_work(ZTXVDevice& device, std::function<void()> item) = 0;
    // ZTXVDevice::DoBatchCheckThreshold: evaluates a round's rules; true when an alarm is active.
    virtual bool evaluate_rules(ZTXVDevice& device, const std::vector<rule_value>& rules) = 0;
    // ZTXVDevice::SaveDeviceHistory: stores a record image.
    virtual void save_history(ZTXVDevice& device, std::span<const uint8_t> image) = 0;
    // ZTXSPDevice::RefreshStatus: true when the line is free and a round is due.
    virtual bool may_poll(ZTXSPDevice& device) = 0;
    // ZTXSPDevice::Reset: the device ends its exchange on the line.
    virtual void exchange_ended(ZTXSPDevice& device) = 0;
    // ZTXSPDevice::SendData: raw bytes for the device's line; the count written or -1.
    virtual int write_line(ZTXSPDevice& device, std::span<const uint8_t> bytes) = 0;
    // PMBusProtocol::write_pmbus_cmd: one command for the host to frame and send.
    virtual void send_command(PMBusProtocol& device, uint8_t cid1, uint8_t cid2,
                              std::span<const uint8_t> info) = 0;
};
