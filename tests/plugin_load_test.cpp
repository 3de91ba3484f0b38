// The built voka.so, loaded the way the host loads it: only get_providers is
// looked up, the host's classes resolve from this process, and a master made
// by the plug-in runs a whole round.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "host/interface/provider.h"
#include "host/interface/pmbus_protocol.h"
#include "simulator/answers.h"
#include "tests/support/decoded_answer.h"
#include "tests/support/json.h"
#include "tests/support/recording_controller.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

struct Plugin {
    void* handle = dlopen(VOKA_SO_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Plugin() {
        if (handle) dlclose(handle);
    }
    GetProviders entry() const { return reinterpret_cast<GetProviders>(dlsym(handle, "get_providers")); }
};

// The names in the loaded object's dynamic section of the given tag.
std::vector<std::string> dynamic_names(void* handle, ElfW(Sxword) tag) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return {};
    const char* strtab = nullptr;
    for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_STRTAB) strtab = reinterpret_cast<const char*>(d->d_un.d_ptr);
    std::vector<std::string> names;
    for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == tag && strtab) names.emplace_back(strtab + d->d_un.d_val);
    return names;
}

}  // namespace

TEST(PluginLoad, ExportsGetProvidersUnderItsPlainName) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    EXPECT_NE(plugin.entry(), nullptr);
    EXPECT_EQ(dlsym(plugin.handle, "_Z13get_providersv"), nullptr);  // not a mangled C++ name
}

TEST(PluginLoad, NeedsOnlyTheStandardRuntimeLibraries) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    const std::set<std::string> allowed = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6",
                                           // the sanitizer runtimes of instrumented builds
                                           "libasan.so.8", "libubsan.so.1", "libtsan.so.2"};
    const auto needed = dynamic_names(plugin.handle, DT_NEEDED);
    EXPECT_FALSE(needed.empty());
    for (const auto& lib : needed) EXPECT_TRUE(allowed.count(lib)) << "needs " << lib;
}

TEST(PluginLoad, ProvidesFourFactoriesInOrderEachCall) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    auto first = plugin.entry()();
    auto second = plugin.entry()();
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    const std::vector<std::string> types = {"voka", "voka-ac", "voka-dc", "voka-rc"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_NE(first[i], second[i]);
        auto* factory = dynamic_cast<ZTXSPDeviceProvider*>(first[i].get());
        ASSERT_NE(factory, nullptr);
        std::shared_ptr<ZTXSPDevice> a(factory->create());
        std::shared_ptr<ZTXSPDevice> b(factory->create());
        EXPECT_NE(a, b);
        EXPECT_EQ(a->DeviceType(), types[i]);
        EXPECT_TRUE(a->GetAllChildVDevices().empty());
    }
}

TEST(PluginLoad, MasterMadeByThePluginRunsAWholeRound) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    auto providers = plugin.entry()();
    auto controller = std::make_shared<RecordingController>();
    {
        std::shared_ptr<ZTXSPDevice> device(static_cast<ZTXSPDeviceProvider&>(*providers[0]).create());
        auto* master = dynamic_cast<PMBusProtocol*>(device.get());
        ASSERT_NE(master, nullptr);
        master->controller = controller;
        ASSERT_TRUE(master->InitSetting(
            parse_json(R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}})")));
        ASSERT_EQ(master->GetAllChildVDevices().size(), 3u);

        const sim::Site site;
        ASSERT_TRUE(master->RefreshStatus());
        int result = 1;
        for (int n = 0; n < 10 && result == 1; ++n) {
            const auto cmd = controller->commands().back();
            auto frame = decoded_answer(cmd.cid1, sim::answer_info(site, sim::CommandSet::voka, cmd.cid1, cmd.cid2).value());
            result = master->process(frame.data(), static_cast<unsigned>(frame.size()));
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(controller->commands().size(), 10u);
        EXPECT_EQ(controller->published().size(), 3u);
        EXPECT_FLOAT_EQ(master->GetChildVDevice(21)->Get_Value(21, "v"), 53.5f);
        controller->run_held_work();  // items hold devices; run them while the plug-in is loaded
        EXPECT_EQ(controller->saved().size(), 3u);
    }
    providers.clear();
}
