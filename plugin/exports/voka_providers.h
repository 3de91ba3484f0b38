#pragma once
// The plug-in's device factories and its one exported entry point.
#include <memory>
#include <vector>

#include "host/interface/provider.h"

class VOKAProvider final : public ZTXSPDeviceProvider {
public:
    ZTXSPDevice* create() const override;  // the "voka" power-system master
};

class VOKA_ACProvider final : public ZTXSPDeviceProvider {
public:
    ZTXSPDevice* create() const override;  // a "voka-ac" AC distribution device
};

class VOKA_DCProvider final : public ZTXSPDeviceProvider {
public:
    ZTXSPDevice* create() const override;  // a "voka-dc" DC distribution device, no model text
};

class VOKA_RCProvider final : public ZTXSPDeviceProvider {
public:
    ZTXSPDevice* create() const override;  // a "voka-rc" rectifier device
};

// The host looks this up by its plain name: C linkage, a C++ result, which the
// host and the plug-in share through the same standard library.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" std::vector<std::shared_ptr<Provider>> get_providers();
#ifdef __clang__
#pragma clang diagnostic pop
#endif
