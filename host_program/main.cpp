// voka-host: loads the voka.so plug-in, makes and configures each power
// system of a site configuration, and polls them; without a configuration it
// runs the bundled example site against the embedded simulator. Devices get
// their latest stored images back before the first round; history and alarms
// live in one SQLite database.
#include <condition_variable>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "host_program/alarms/durable_alarm_engine.h"
#include "host_program/events/json_writer.h"
#include "host_program/events/text_view.h"
#include "host_program/history/history_db.h"
#include "host_program/host_options.h"
#include "host_program/lines.h"
#include "host_program/mqtt/mqtt_sink.h"
#include "host_program/plugin_library.h"
#include "host_program/power_system.h"
#include "host_program/probe/probe_command.h"
#include "host_program/reading/alarm_log.h"
#include "host_program/reading/history_export.h"
#include "host_program/records/record_types.h"
#include "host_program/site_config.h"
#include "host_program/work_queue.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

std::string database_path(const std::optional<std::string>& option, const HistoryConfig& history) {
    return option ? *option : history.database.value_or("voka-history.db");
}

std::string when(int64_t t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

int list_alarms(const AlarmsOptions& options) {
    HistoryDb db(database_path(options.database, {}), {}, {}, HistoryDb::Open::read_only);
    if (options.log) {
        const auto now = static_cast<int64_t>(std::time(nullptr));
        if (!write_alarm_log(db, {options.since, options.data_id}, options.format, now, stdout) &&
            options.format == OutputFormat::text)
            std::printf("no alarms\n");
        return 0;
    }
    const auto active = db.active_alarms();
    if (active.empty()) std::printf("no active alarms\n");
    for (const Alarm& a : active)
        std::printf("%s  %-5u %-6s grade %u  %s  %s\n", when(a.started).c_str(), a.data_id, a.rule_id.c_str(),
                    a.grade, a.alarm_code.c_str(), a.text.c_str());
    return 0;
}

int print_history(const HistoryOptions& options) {
    HistoryDb db(database_path(options.database, {}), {}, {}, HistoryDb::Open::read_only);
    const HistoryQuery query{options.data_id, options.since, options.until, options.limit, options.newest_first};
    if (!write_history(db, query, options.format, stdout) && options.format == OutputFormat::text)
        std::printf("no records of device %u\n", options.data_id);
    return 0;
}

// Gives every device its latest stored image before the first round.
void reload(HistoryDb& db, std::vector<std::unique_ptr<PowerSystem>>& systems, EventSink& events) {
    const auto notice = [&events](std::string text) { events.handle(event::Notice{std::move(text)}); };
    for (const HistoryRow& row : db.latest_images()) {
        for (auto& system : systems) {
            const auto accepted = system->load_from_cache(row.data_id, row.device_type, row.image);
            if (!accepted) continue;
            if (*accepted)
                notice(fmt::format("voka-host: {} {} reloaded from its record of {}", row.device_type,
                                          row.data_id, when(row.time)));
            else if (row.record_type == kAcRecord.number && row.image.size() == kAcRecord.size_for(0))
                notice(fmt::format("voka-host: {} {} had no channels when last stored; nothing to reload",
                                          row.device_type, row.data_id));
            else
                notice(fmt::format("voka-host: {} {} refused its stored record of {} ({} bytes)",
                                          row.device_type, row.data_id, when(row.time), row.image.size()));
        }
    }
}

// Ends, once and with the reason recorded, the alarms of devices the site no
// longer has: nothing would ever end them.
void end_orphaned_alarms(HistoryDb& db, const SiteConfig& site, std::vector<std::unique_ptr<PowerSystem>>& systems,
                         EventSink& events) {
    const auto in_site = [&](uint32_t data_id) {
        for (size_t i = 0; i < systems.size(); ++i)
            if (site.power_systems[i].data_id == data_id || systems[i]->has_device(data_id)) return true;
        return false;
    };
    const std::string reason = "its device is no longer in the site";
    for (const Alarm& a : db.end_alarms_of_devices_not(in_site, static_cast<int64_t>(std::time(nullptr)), reason)) {
        events.handle(event::Notice{fmt::format("voka-host: alarm {} \"{}\" of device {} ended: {}", a.rule_id,
                                                a.text, a.data_id, reason)});
        events.handle(event::AlarmChanged{a, false});
    }
}

// The plug-in writes a few plain diagnostic lines to standard output; they go
// to standard error instead, so that what voka-host shows (a JSON stream with
// --json) stays whole. Returns the stream of the original standard output.
std::FILE* keep_stdout_for_the_view() {
    std::fflush(stdout);
    const int view = dup(STDOUT_FILENO);
    if (view < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return stdout;
    std::FILE* f = fdopen(view, "w");
    return f ? f : stdout;
}

// The running totals of every power system, as one stats event each.
void show_stats(const std::vector<std::unique_ptr<PowerSystem>>& systems, EventSink& events, bool final) {
    for (const auto& system : systems) {
        event::Stats stats = system->stats();
        stats.final = final;
        events.handle(stats);
    }
}

// Runs the site until every power system has done `rounds` complete rounds
// (0: until a signal). Exit status 0, or 1 when a power system gave up.
int run_site(const RunOptions& options) {
    const SiteConfig site = options.config_path ? read_site_config(*options.config_path) : bundled_example_site();
    const std::string plugin_path = find_plugin(options.plugin, site.plugin);
    for (const auto& q : options.queries)
        if (!site_has_device(site, q.data_id))
            throw ConfigError(fmt::format("--get {}: no device {} in this site", q.text, q.data_id));

    std::FILE* const view_out = keep_stdout_for_the_view();
    std::unique_ptr<EventSink> view;
    if (options.json)
        view = std::make_unique<JsonWriter>(view_out);
    else
        view = std::make_unique<TextView>(view_out);
    EventStream events;
    events.add(*view);
    const auto notice = [&events](std::string text) { events.handle(event::Notice{std::move(text)}); };
    std::unique_ptr<MqttSink> mqtt;
    if (site.mqtt) events.add(*(mqtt = std::make_unique<MqttSink>(*site.mqtt, site, notice)));

    // An existing file is checked now; a new one is made only once the site has started.
    HistoryDb db(database_path(options.database, site.history), site.history.policy,
                 [&](const std::string& problem) { notice("voka-host: " + problem); }, HistoryDb::Open::later);
    PluginLibrary plugin(plugin_path);
    DurableAlarmEngine alarms(db, [&events](const Alarm& a, bool started) {
        events.handle(event::AlarmChanged{a, started});
    });
    WorkQueue work;  // after what its items use: it stops first
    std::vector<std::unique_ptr<PowerSystem>> systems;
    for (const auto& ps : site.power_systems)
        systems.push_back(std::make_unique<PowerSystem>(
            ps, plugin, HostController::Services{events, work, alarms, &db},
            [&ps, &site](const PMBusProtocol& master) { return open_line(ps, master, site.path); }));

    for (size_t i = 0; i < systems.size(); ++i) {
        notice(fmt::format("voka-host: power system \"{}\" on {}", site.power_systems[i].name,
                           describe_line(site.power_systems[i])));
        systems[i]->open(options.rounds != 0);
    }

    db.open();
    end_orphaned_alarms(db, site, systems, events);
    alarms.load();
    if (mqtt) mqtt->start(alarms.active());
    reload(db, systems, events);
    const auto ask = [&](PowerSystem& ps) {
        for (const auto& q : options.queries) {
            if (!ps.has_device(q.data_id)) continue;  // another system's device
            const auto answer = ps.query(q.data_id, q.key);
            if (std::holds_alternative<float>(answer))
                events.handle(event::Value{q.text, std::get<float>(answer)});
            else
                events.handle(event::Refusal{q.text, std::get<std::string>(answer)});
        }
    };
    for (auto& system : systems) ask(*system);  // what reloaded data answer before the first round

    std::mutex progress_mutex;
    std::condition_variable progress;
    size_t finished = 0;
    std::optional<std::string> gave_up;  // the first diagnosis, guarded by progress_mutex
    PowerSystem::Hooks hooks;
    hooks.after_round = [&](PowerSystem& ps, unsigned round) {
        ask(ps);
        if (options.rounds && round == options.rounds) {
            ps.request_stop();  // this system has done its rounds
            std::lock_guard lock(progress_mutex);
            ++finished;
            progress.notify_all();
        }
    };
    if (options.rounds) {
        hooks.give_up_after = options.give_up_after;
        hooks.gave_up = [&](PowerSystem& ps, const std::string& diagnosis) {
            std::lock_guard lock(progress_mutex);
            if (!gave_up)
                gave_up = fmt::format("power system \"{}\": gave up after {} failed attempts in a row: {}", ps.name(),
                                      options.give_up_after, diagnosis);
            progress.notify_all();
        };
    }
    for (auto& system : systems) system->start(hooks);
    constexpr auto kStatsEvery = std::chrono::seconds(60);
    auto next_stats = std::chrono::steady_clock::now() + kStatsEvery;
    {
        std::unique_lock lock(progress_mutex);
        while (!g_stop && !gave_up && !(options.rounds && finished == systems.size())) {
            progress.wait_for(lock, std::chrono::milliseconds(100));
            if (std::chrono::steady_clock::now() >= next_stats) {
                lock.unlock();
                show_stats(systems, events, false);
                lock.lock();
                next_stats += kStatsEvery;
            }
        }
    }
    for (auto& system : systems) system->stop();
    work.drain();
    show_stats(systems, events, true);
    db.flush();  // the newest images not stored yet, for the next start
    std::lock_guard lock(progress_mutex);
    if (gave_up) {
        std::fflush(view_out);
        std::fprintf(stderr, "voka-host: %s\n", gave_up->c_str());
        return 1;
    }
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
        std::fprintf(stderr, "voka-host: %s\n%s", e.what(), e.usage().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(options->help->c_str(), stdout);
        return 0;
    }
    try {
        switch (options->command) {
            case HostCommand::probe: return run_probe(options->probe, g_stop);
            case HostCommand::alarms: return list_alarms(options->alarms);
            case HostCommand::history: return print_history(options->history);
            case HostCommand::run: return run_site(*options);
        }
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "voka-host: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "voka-host: %s\n", e.what());
        return 1;
    }
    return 1;
}
