#include "host/voka-host/plugin_library.h"

#include <dlfcn.h>

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        throw PluginError("cannot load plug-in " + path + ": " + (why ? why : "unknown error"));
    }
    using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
    auto get_providers = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
    if (!get_providers) {
        dlclose(handle_);
        throw PluginError("plug-in " + path + " has no get_providers");
    }
    providers_ = get_providers();
    // A provider carries no name: what it makes is known from the device's type.
    for (const auto& p : providers_) {
        const auto* factory = dynamic_cast<const ZTXSPDeviceProvider*>(p.get());
        if (!factory) continue;
        std::shared_ptr<ZTXSPDevice> sample(factory->create());
        if (sample) by_type_.emplace(sample->DeviceType(), factory);
    }
}

PluginLibrary::~PluginLibrary() {
    by_type_.clear();
    providers_.clear();  // their code lives in the library
    if (handle_) dlclose(handle_);
}

std::shared_ptr<ZTXSPDevice> PluginLibrary::create(const std::string& device_type) const {
    const auto it = by_type_.find(device_type);
    return it == by_type_.end() ? nullptr : std::shared_ptr<ZTXSPDevice>(it->second->create());
}

std::vector<std::string> PluginLibrary::device_types() const {
    std::vector<std::string> types;
    for (const auto& [type, factory] : by_type_) types.push_back(type);
    return types;
}
