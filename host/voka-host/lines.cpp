#include "host/voka-host/lines.h"

#include <cstdlib>
#include <filesystem>

#include "host/voka-host/base/program_files.h"
#include "simulator/scenario.h"
#include "simulator/simulated_line.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kExampleScenario = "simulator/scenarios/example-site.json";

std::string scenario_path(const PowerSystemConfig& ps, const std::string& site_path) {
    if (!ps.scenario) {
        const std::string bundled = bundled_file(kExampleScenario);
        if (bundled.empty()) throw ConfigError("the bundled example scenario is not installed");
        return bundled;
    }
    const fs::path p(*ps.scenario);
    if (p.is_absolute() || site_path.empty()) return p.string();
    return (fs::path(site_path).parent_path() / p).string();
}

}  // namespace

std::unique_ptr<ByteLine> open_line(const PowerSystemConfig& ps, const PMBusProtocol& master,
                                    const std::string& site_path) {
    if (ps.port) return std::make_unique<SerialLine>(*ps.port, master.baud_rate);
    try {
        return std::make_unique<sim::SimulatedLine>(sim::load_scenario(scenario_path(ps, site_path)));
    } catch (const sim::ScenarioError& e) {
        throw ConfigError(e.what());
    }
}

void check_line(const PowerSystemConfig& ps, const std::string& site_path) {
    if (ps.port) return;
    try {
        (void)sim::load_scenario(scenario_path(ps, site_path));
    } catch (const sim::ScenarioError& e) {
        throw ConfigError(e.what());
    }
}

std::string describe_line(const PowerSystemConfig& ps) {
    if (ps.port) return *ps.port;
    return "the embedded simulator (" + (ps.scenario ? *ps.scenario : std::string("bundled example scenario")) + ")";
}

std::string find_plugin(const std::optional<std::string>& option, const std::optional<std::string>& configured) {
    return choose_plugin(option, configured, std::getenv("VOKA_PLUGIN"), running_program_folder());
}

SiteConfig bundled_example_site() {
    // One AC, one DC device and the rectifiers, as the example scenario has them.
    Json::Value ps(Json::objectValue);
    ps["name"] = "example";
    ps["data_id"] = 1;
    ps["poll_interval_ms"] = 1000;
    ps["acSetting"][0]["data_id"] = 11;
    ps["dcSetting"][0]["data_id"] = 21;
    ps["rcSetting"] = Json::Value(Json::objectValue);
    Json::Value root(Json::objectValue);
    root["name"] = "example site";
    root["power_systems"][0] = ps;
    return site_config_from_json(root, "(bundled example site)");
}
