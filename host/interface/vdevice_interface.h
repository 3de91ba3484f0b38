#pragma once
// Root of the host's device tree: what the host asks of every device.
// The host never deletes a device through this type, so it has no virtual
// destructor (its destructor is protected instead).
#include <cstdint>
#include <stdexcept>
#include <string>

namespace Json { class Value; }

class VDeviceInterface {
public:
    // Slot order is fixed by the host; do not reorder.
    virtual float Get_Value(unsigned /*id*/, const std::string& /*key*/) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& image) {
        return LoadFromCache(reinterpret_cast<const uint8_t*>(image.data()), static_cast<int>(image.size()));
    }
    // Restores a stored record image; true when the image was accepted.
    virtual bool LoadFromCache(const uint8_t* data, int len) = 0;
    virtual unsigned DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }
    // Device-specific control request; negative when the device does not serve it.
    virtual int DeviceIoControl(int /*code*/, const Json::Value& /*in*/, Json::Value& /*out*/) { return -2; }
    // Ends a polling round.
    virtual void RoundDone() {}
    virtual bool UseControllerDb() const { return use_controller_db; }

    uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;

protected:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = default;
    VDeviceInterface& operator=(const VDeviceInterface&) = default;
    ~VDeviceInterface() = default;
};
