// voka-host: loads the voka.so plug-in, makes and configures each power
// system of a site configuration, and polls them; without a configuration it
// runs the bundled example site against the embedded simulator. Devices get
// their latest stored images back before the first round; history and alarms
// live in one SQLite database.
#include <algorithm>
#include <condition_variable>
#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "host/voka-host/alarms/durable_alarm_engine.h"
#include "host/voka-host/events/journal_view.h"
#include "host/voka-host/events/json_writer.h"
#include "host/voka-host/events/text_view.h"
#include "host/voka-host/history/history_db.h"
#include "host/voka-host/host_options.h"
#include "host/voka-host/http/http_service.h"
#include "host/voka-host/http/site_snapshot.h"
#include "host/voka-host/lines.h"
#include "host/voka-host/mqtt/mqtt_sink.h"
#include "host/voka-host/plugin_library.h"
#include "host/voka-host/power_system.h"
#include "host/voka-host/running_site.h"
#include "host/voka-host/signal_watch.h"
#include "host/voka-host/probe/probe_command.h"
#include "host/voka-host/reading/alarm_log.h"
#include "host/voka-host/reading/history_export.h"
#include "host/voka-host/presentation/time_text.h"
#include "host/voka-host/records/record_types.h"
#include "host/voka-host/site_check.h"
#include "host/voka-host/site_config.h"
#include "host/voka-host/start_warnings.h"
#include "host/voka-host/work_queue.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

std::string database_path(const std::optional<std::string>& option, const HistoryConfig& history) {
    return option ? *option : history.database.value_or("voka-history.db");
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
        std::printf("%s  %-5u %-6s grade %u  %s  %s\n", local_clock_text(a.started).c_str(), a.data_id, a.rule_id.c_str(),
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

int check_site_file(const CheckOptions& options) {
    const SiteConfig site = read_site_config(options.config_path);
    const PluginLibrary plugin(find_plugin(options.plugin, site.plugin));
    for (const std::string& warning : check_site(site, plugin)) std::fprintf(stderr, "%s\n", warning.c_str());
    std::printf("%s: usable, %zu power system%s\n", options.config_path.c_str(), site.power_systems.size(),
                site.power_systems.size() == 1 ? "" : "s");
    return 0;
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
void show_stats(const RunningSite& site, EventSink& events, bool final) {
    for (const auto& system : site.systems()) {
        event::Stats stats = system->stats();
        stats.final = final;
        events.handle(stats);
    }
}

// What voka-host shows on standard output: --json's stream; on a terminal
// the view of a person watching; else (a service's journal, a pipe) plain
// lines, with syslog priorities when the journal reads them.
std::unique_ptr<EventSink> make_view(bool json, std::FILE* out) {
    if (json) return std::make_unique<JsonWriter>(out);
    if (isatty(fileno(out)) == 1) return std::make_unique<TextView>(out);
    return std::make_unique<JournalView>(out, journal::is_journal_stream(fileno(out), std::getenv("JOURNAL_STREAM")));
}

// SIGHUP: the site file read again and applied, the HTTP side's settings
// too (with --listen in place of "listen"); a file that cannot be used
// changes nothing. Returns what changed.
SiteChanges reload_site(RunningSite& site, HttpService* http, const RunOptions& options, EventSink& events) {
    const std::optional<std::string>& path = options.config_path;
    if (!path) {
        events.handle(event::ReloadRefused{"voka-host runs the bundled example site: there is no site file to read"});
        return {};
    }
    try {
        const SiteConfig next = read_site_config(*path);
        const HttpConfig next_http = with_listen_option(next.http, options.listen, *path);
        const SiteChanges changes = site.apply(next);
        for (const std::string& what : changes.kept_until_restart)
            events.handle(event::Notice{fmt::format("voka-host: {} changed in {}: applied at the next start of voka-host",
                                                    what, *path)});
        // The snapshot the HTTP side shows is made at start only when it serves.
        if (http)
            http->apply(next_http, *path);
        else if (next_http.listen)
            events.handle(event::Notice{fmt::format(
                "voka-host: HTTP is switched on in {}: applied at the next start of voka-host", *path)});
        events.handle(event::SiteReloaded{changes.added, changes.removed, changes.changed, next.power_systems});
        return changes;
    } catch (const ConfigError& e) {
        events.handle(event::ReloadRefused{e.what()});
        return {};
    }
}

// Runs the site until every power system has done `rounds` complete rounds
// (0: until SIGTERM or SIGINT). Exit status 0, or 1 when a power system gave up.
int run_site(const RunOptions& options) {
    const SiteConfig site = options.config_path ? read_site_config(*options.config_path) : bundled_example_site();
    const std::string plugin_path = find_plugin(options.plugin, site.plugin);
    for (const auto& q : options.queries)
        if (!site_has_device(site, q.data_id))
            throw ConfigError(fmt::format("--get {}: no device {} in this site", q.text, q.data_id));

    const HttpConfig http =
        with_listen_option(site.http, options.listen, site.path.empty() ? "--listen" : site.path);

    std::FILE* const view_out = keep_stdout_for_the_view();
    const std::unique_ptr<EventSink> view = make_view(options.json, view_out);
    EventStream events;
    events.add(*view);
    std::optional<SiteSnapshot> snapshot;  // what the HTTP side shows
    if (http.listen) {
        snapshot.emplace(site.name, site.power_systems);
        events.add(*snapshot);
    }
    const auto notice = [&events](std::string text) { events.handle(event::Notice{std::move(text)}); };
    for (std::string& warning : start_warnings(site)) notice(std::move(warning));
    std::unique_ptr<MqttSink> mqtt;
    if (site.mqtt) events.add(*(mqtt = std::make_unique<MqttSink>(*site.mqtt, site.power_systems, notice)));

    // An existing file is checked now; a new one is made only once the site has started.
    HistoryDb db(database_path(options.database, site.history), site.history.policy,
                 [&](const std::string& problem) { notice("voka-host: " + problem); }, HistoryDb::Open::later);
    PluginLibrary plugin(plugin_path);
    DurableAlarmEngine alarms(db, [&events](const Alarm& a, bool started) {
        events.handle(event::AlarmChanged{a, started});
    });
    WorkQueue work;  // after what its items use: it stops first
    RunningSite running(site, plugin, {HostController::Services{events, work, alarms, &db}, db, alarms});
    running.open(options.rounds != 0);

    // Listening before the database is made: a port already taken leaves nothing behind.
    std::optional<HttpService> http_side;
    if (http.listen) {
        http_side.emplace(*snapshot, HistorySource{db.path(), [&db] { db.commit_held(); }}, notice, [&db, &mqtt] {
            return HostFigures{db.write_failures(), mqtt ? mqtt->figures() : std::vector<PublisherFigures>{}};
        });
        http_side->start(http);
        notice("voka-host: serving HTTP on " + http_side->url());
    }

    db.open();
    running.end_orphaned_alarms();
    alarms.load();
    if (snapshot) snapshot->restore_alarms(alarms.active());
    if (mqtt) mqtt->start(alarms.active());
    running.reload_images();
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
    for (const auto& system : running.systems()) ask(*system);  // what reloaded data answer before the first round

    std::mutex progress_mutex;
    std::condition_variable progress;
    std::set<std::string> finished;      // systems that did their rounds, guarded by progress_mutex
    std::optional<std::string> gave_up;  // the first diagnosis, guarded by progress_mutex
    PowerSystem::Hooks hooks;
    hooks.after_round = [&](PowerSystem& ps, unsigned round) {
        ask(ps);
        if (options.rounds && round == options.rounds) {
            ps.request_stop();  // this system has done its rounds
            std::lock_guard lock(progress_mutex);
            finished.insert(ps.name());
            progress.notify_all();
        }
    };
    if (options.rounds) {
        hooks.give_up_after = options.give_up_after;
        hooks.gave_up = [&](PowerSystem& ps, const std::string& why) {
            std::lock_guard lock(progress_mutex);
            if (!gave_up) gave_up = fmt::format("power system \"{}\": {}", ps.name(), why);
            progress.notify_all();
        };
    }
    const auto all_finished = [&] {  // under progress_mutex
        if (!options.rounds) return false;
        for (const auto& ps : running.config().power_systems)
            if (!finished.count(ps.name)) return false;
        return true;
    };
    bool stop = g_stop != 0;          // guarded by progress_mutex
    bool reload = false;              // guarded by progress_mutex
    running.start(hooks);
    SignalWatch signals([&](SiteSignal s) {
        std::lock_guard lock(progress_mutex);
        (s == SiteSignal::stop ? stop : reload) = true;
        progress.notify_all();
    });
    constexpr auto kStatsEvery = std::chrono::seconds(60);
    auto next_stats = std::chrono::steady_clock::now() + kStatsEvery;
    {
        std::unique_lock lock(progress_mutex);
        while (!stop && !gave_up && !all_finished()) {
            // Asleep until a signal, a system's end or the next statistics: nothing to look for meanwhile.
            progress.wait_until(lock, next_stats, [&] { return stop || reload || gave_up || all_finished(); });
            if (reload) {
                reload = false;
                lock.unlock();
                const SiteChanges changes = reload_site(running, http_side ? &*http_side : nullptr, options, events);
                db.commit_held();  // a reload is a point where what was stored is kept
                lock.lock();
                // A system made anew counts its rounds from the start.
                for (const auto& name : changes.changed) finished.erase(name);
            }
            if (std::chrono::steady_clock::now() >= next_stats) {
                lock.unlock();
                show_stats(running, events, false);
                lock.lock();
                next_stats += kStatsEvery;
            }
        }
    }
    running.stop();  // the exchanges in progress end at once
    work.drain();
    show_stats(running, events, true);
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
    // The threads allocate little and rarely at once: one malloc arena for
    // them all instead of one each keeps a site's resident memory down.
    mallopt(M_ARENA_MAX, 1);
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
            case HostCommand::config_check: return check_site_file(options->check);
            case HostCommand::config_keys: std::fputs(schema::key_table(site_keys()).c_str(), stdout); return 0;
            case HostCommand::run:
                block_watched_signals();  // before any thread starts: the site's signal watcher takes them
                return run_site(*options);
        }
    } catch (const ConfigError& e) {
        // One line per problem, each marked as voka-host's.
        const std::string problems = e.what();
        for (size_t start = 0; start < problems.size();) {
            const size_t end = std::min(problems.find('\n', start), problems.size());
            std::fprintf(stderr, "voka-host: %s\n", problems.substr(start, end - start).c_str());
            start = end + 1;
        }
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "voka-host: %s\n", e.what());
        return 1;
    }
    return 1;
}
