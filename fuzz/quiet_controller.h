#pragma once
// A controller that takes every call of a device under fuzzing and keeps
// nothing: the targets derive from it and override log_message, the one call
// whose arguments they check.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "host/interface/ztx_controller.h"

struct QuietController : ZTXController {
    bool device_initialised(ZTXVDevice&, ZTXVDevice*, unsigned, const Json::Value&) override { return true; }
    void publish(ZTXVDevice&, int, std::span<const uint8_t>, bool) override {}
    void threshold_reported(ZTXVDevice&, const rule_value&) override {}
    void queue_work(ZTXVDevice&, std::function<void()>) override {}
    bool evaluate_rules(ZTXVDevice&, const std::vector<rule_value>&) override { return false; }
    void save_history(ZTXVDevice&, std::span<const uint8_t>) override {}
    bool may_poll(ZTXSPDevice&) override { return false; }
    void exchange_ended(ZTXSPDevice&) override {}
    int write_line(ZTXSPDevice&, std::span<const uint8_t>) override { return -1; }
    void send_command(PMBusProtocol&, uint8_t, uint8_t, std::span<const uint8_t>) override {}
};
