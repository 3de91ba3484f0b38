// The host's side of ZTXVDevice: every operation hands its arguments to the
// device's controller, and does nothing once that controller has gone.
#include <json/value.h>

#include "host/interface/ztx_vdevice.h"

ZTXVDevice::~ZTXVDevice() = default;

void ZTXVDevice::Reset() {}

bool ZTXVDevice::InitV(ZTXVDevice* parent, unsigned id, const Json::Value& config) {
    data_id = id;
    if (parent) controller = parent->controller;
    auto c = controller.lock();
    return c ? c->device_initialised(*this, parent, id, config) : true;
}

bool ZTXVDevice::Init() { return true; }

bool ZTXVDevice::InitSetting(const Json::Value&) { return true; }

bool ZTXVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

void ZTXVDevice::SendSP(int type, const uint8_t* image, unsigned len, bool flag) {
    if (auto c = controller.lock()) c->publish(*this, type, {image, image ? len : 0u}, flag);
}

// The stand-in host drives no outputs and reads no local inputs; these answer
// "nothing there" rather than inventing values.
void ZTXVDevice::SendDelayData() {}
void ZTXVDevice::SendDoData(unsigned, bool) {}
bool ZTXVDevice::ReadDi(unsigned) const { return false; }
float ZTXVDevice::ReadAi(unsigned) const { return 0.0f; }
float ZTXVDevice::Get_SP_Value(const std::string& key) const { return Get_Value(data_id, key); }
int ZTXVDevice::DeviceIoControl(int, const Json::Value&, Json::Value&) { return -2; }

bool ZTXVDevice::CheckThresholdBool(int grade, const std::string& rule_id, const std::string& alarm_code,
                                    const std::string& alarm_name, const std::string& text, bool holds,
                                    unsigned short seq) {
    auto c = controller.lock();
    if (!c) return holds;
    // Built in place where the compiler can: the only copies of the texts are
    // the ones `rules` keeps.
#if defined(__cpp_aggregate_paren_init)
    const rule_value& rule = rules.emplace_back(static_cast<uint8_t>(grade), rule_id, alarm_code, data_id,
                                                holds ? 1u : 0u, alarm_name, text, seq);
#else
    const rule_value& rule = rules.emplace_back(
        rule_value{static_cast<uint8_t>(grade), rule_id, alarm_code, data_id, holds ? 1u : 0u, alarm_name, text, seq});
#endif
    c->threshold_reported(*this, rule);
    return holds;
}

void ZTXVDevice::CheckThresholdWork(std::function<void()> item) {
    if (auto c = controller.lock()) c->queue_work(*this, std::move(item));
}

bool ZTXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& batch) {
    auto c = controller.lock();
    return c ? c->evaluate_rules(*this, batch) : false;
}

void ZTXVDevice::SaveDeviceHistory(const uint8_t* image, unsigned len) {
    if (auto c = controller.lock()) c->save_history(*this, {image, image ? len : 0u});
}
