#include "plugin/exports/voka_providers.h"

#include "plugin/power/voka.h"

ZTXSPDevice* VOKAProvider::create() const { return new VOKA(); }
ZTXSPDevice* VOKA_ACProvider::create() const { return new VOKA_AC(); }
ZTXSPDevice* VOKA_DCProvider::create() const { return new VOKA_DC(); }
ZTXSPDevice* VOKA_RCProvider::create() const { return new VOKA_RC(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
    return {std::make_shared<VOKAProvider>(), std::make_shared<VOKA_ACProvider>(),
            std::make_shared<VOKA_DCProvider>(), std::make_shared<VOKA_RCProvider>()};
}
