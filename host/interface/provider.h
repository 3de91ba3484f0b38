#pragma once
// Device factories that a plug-in hands to the host.
#include <memory>
#include <vector>

class ZTXSPDevice;

class Provider {
public:
    virtual ~Provider() = default;
};

class ZTXSPDeviceProvider : public Provider {
public:
    // A new device made with plain `new`; the caller owns it and must hold it
    // in a std::shared_ptr (devices call shared_from_this()).
    virtual ZTXSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;
