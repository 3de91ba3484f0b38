#pragma once
// A device plug-in loaded into the host process, and its factories by the
// device type they make. The library stays loaded while this object lives;
// every device made from it must be gone before.
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/interface/provider.h"
#include "host/interface/ztx_sp_device.h"

class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PluginLibrary {
public:
    // Loads `path` and asks it for its providers. Throws PluginError naming
    // the path when it cannot be loaded or has no usable get_providers.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // A new device of `device_type`, owned as the host owns devices; nullptr
    // when no provider makes that type.
    std::shared_ptr<ZTXSPDevice> create(const std::string& device_type) const;
    std::vector<std::string> device_types() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    std::map<std::string, const ZTXSPDeviceProvider*> by_type_;
};
