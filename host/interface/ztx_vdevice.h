#pragma once
// A host device with data, alarms and history. The operations without a body
// here are the host's: they come from the host process when the plug-in is
// loaded, and each reaches the device's controller (host/interface/ztx_controller.h).
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/interface/rule_value.h"
#include "host/interface/ttime.h"
#include "host/interface/vdevice_interface.h"
#include "host/interface/ztx_controller.h"

class ZTXVDevice : public VDeviceInterface, public std::enable_shared_from_this<ZTXVDevice> {
public:
    ZTXVDevice() = default;
    ZTXVDevice(const ZTXVDevice&) = delete;
    ZTXVDevice& operator=(const ZTXVDevice&) = delete;

    // Slot order is fixed by the host; do not reorder.
    virtual ~ZTXVDevice();
    virtual void Reset();
    // Takes the device's data id and, from `parent`, its controller; then tells
    // the controller. Returns false when the host refuses the device.
    virtual bool InitV(ZTXVDevice* parent, unsigned id, const Json::Value& config);
    virtual bool Init();
    virtual bool InitSetting(const Json::Value& config);
    virtual bool IsSupportDevice(const std::string& device_type) const;
    virtual std::shared_ptr<ZTXVDevice> GetChildVDevice(unsigned /*data_id*/) { return {}; }
    virtual std::vector<std::shared_ptr<ZTXVDevice>> GetAllChildVDevices() { return {}; }
    virtual void SendSP(int type, const uint8_t* image, unsigned len, bool flag);
    virtual void SendDelayData();
    virtual void SendDoData(unsigned channel, bool on);
    virtual bool ReadDi(unsigned channel) const;
    virtual float ReadAi(unsigned channel) const;
    virtual float Get_SP_Value(const std::string& key) const;
    int DeviceIoControl(int code, const Json::Value& in, Json::Value& out) override;

    // Reports one alarm condition of this round: appends it to `rules` and tells
    // the controller. Returns `holds`.
    bool CheckThresholdBool(int grade, const std::string& rule_id, const std::string& alarm_code,
                            const std::string& alarm_name, const std::string& text, bool holds,
                            unsigned short seq);
    void CheckThresholdWork(std::function<void()> item);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& batch);
    void SaveDeviceHistory(const uint8_t* image, unsigned len);

    template <class... Args>
    void InfoLog(const char* fmt, const Args&... args) {
        if (auto c = controller.lock()) c->InfoLog(fmt, args...);
    }

    uint16_t alarm_seq = 0;
    boost::posix_time::ptime last_update;  // local time of the latest data
    bool data_valid = false;               // the record holds data
    std::vector<rule_value> rules;
    std::weak_ptr<ZTXController> controller;
    bool alarm_active = false;
};
