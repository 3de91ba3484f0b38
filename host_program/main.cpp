// voka-host: loads the voka.so plug-in, makes and configures each power
// system of a site configuration, and polls them; without a configuration it
// runs the bundled example site against the embedded simulator.
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "host_program/alarm_engine.h"
#include "host_program/host_options.h"
#include "host_program/lines.h"
#include "host_program/output.h"
#include "host_program/plugin_library.h"
#include "host_program/power_system.h"
#include "host_program/site_config.h"
#include "host_program/work_queue.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// Runs the site until every power system has done `rounds` complete rounds
// (0: until a signal).
int run_site(const HostOptions& options) {
    const SiteConfig site = options.config_path ? read_site_config(*options.config_path) : bundled_example_site();
    const std::string plugin_path = find_plugin(options.plugin, site.plugin);

    Output output(options.json);
    PluginLibrary plugin(plugin_path);
    AlarmEngine alarms([&output](const Alarm& a, bool started) { output.alarm(a, started); });
    WorkQueue work;  // after the alarms and output it uses: stops first
    std::vector<std::unique_ptr<PowerSystem>> systems;
    for (const auto& ps : site.power_systems) {
        systems.push_back(std::make_unique<PowerSystem>(
            ps, plugin, HostController::Services{output, work, alarms, nullptr},
            [&](const PMBusProtocol& master) { return open_line(ps, master, site.path); }));
        output.notice(fmt::format("voka-host: power system \"{}\" on {}", ps.name, describe_line(ps)));
    }

    for (const auto& q : options.queries) {
        bool known = false;
        for (const auto& system : systems) known = known || system->has_device(q.data_id);
        if (!known) throw ConfigError(fmt::format("--get {}: no device {} in this site", q.text, q.data_id));
    }

    std::mutex progress_mutex;
    std::condition_variable progress;
    size_t finished = 0;
    for (auto& system : systems) {
        system->start([&](PowerSystem& ps, unsigned round) {
            for (const auto& q : options.queries) {
                if (!ps.has_device(q.data_id)) continue;  // another system's device
                const auto answer = ps.query(q.data_id, q.key);
                if (std::holds_alternative<float>(answer))
                    output.value(q.text, std::get<float>(answer));
                else
                    output.refusal(q.text, std::get<std::string>(answer));
            }
            if (options.rounds && round == options.rounds) {
                std::lock_guard lock(progress_mutex);
                ++finished;
                progress.notify_all();
            }
        });
    }
    {
        std::unique_lock lock(progress_mutex);
        while (!g_stop && !(options.rounds && finished == systems.size()))
            progress.wait_for(lock, std::chrono::milliseconds(100));
    }
    for (auto& system : systems) system->stop();
    work.drain();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::optional<HostOptions> options;
    try {
        options = parse_host_options(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "voka-host: %s\n%s", e.what(), kHostUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(kHostUsage, stdout);
        return 0;
    }
    try {
        return run_site(*options);
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "voka-host: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "voka-host: %s\n", e.what());
        return 1;
    }
}
