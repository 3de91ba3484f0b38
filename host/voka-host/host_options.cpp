#include "host/voka-host/host_options.h"

#include <charconv>
#include <ctime>
#include <string_view>

#include <CLI/CLI.hpp>

#include "host/voka-host/presentation/time_text.h"
#include "host/line/serial_line.h"

namespace {

constexpr const char* kProgram = "voka-host";

unsigned parse_unsigned(std::string_view text, const std::string& what) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        throw UsageError(what + " must be a whole number, not \"" + std::string(text) + "\"");
    return value;
}

unsigned parse_in_range(std::string_view text, const std::string& what, unsigned low, unsigned high) {
    const unsigned value = parse_unsigned(text, what);
    if (value < low || value > high)
        throw UsageError(what + " must be from " + std::to_string(low) + " to " + std::to_string(high) + ", not " +
                         std::string(text));
    return value;
}

// An option whose every value goes through `take`, which checks it and throws
// UsageError with the host's own wording. Repeatable when `repeatable`; each
// occurrence takes exactly one value.
template <typename Take>
CLI::Option* add_checked(CLI::App& app, const std::string& name, const std::string& type, const std::string& help,
                         Take take, bool repeatable = false) {
    CLI::Option* o = app.add_option_function<std::vector<std::string>>(
        name,
        [take](const std::vector<std::string>& values) {
            for (const auto& v : values) take(v);
        },
        help);
    o->type_name(type)->allow_extra_args(false);
    if (repeatable)
        o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    else
        o->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    return o;
}

void add_database(CLI::App& app, std::optional<std::string>& database, bool from_site) {
    add_checked(app, "--db", "PATH",
                from_site ? "the history and alarm database (default: the site's \"history\": {\"database\": "
                            "...}, else voka-history.db)"
                          : "the history and alarm database (default: voka-history.db)",
                [&database](const std::string& v) {
                    // An empty name would be a temporary database, gone at exit with all history and alarms.
                    if (v.empty()) throw UsageError("--db must name a database file, not \"\"");
                    database = v;
                });
}

CLI::Option* add_time(CLI::App& app, const std::string& name, const std::string& help,
                      std::optional<int64_t>& time) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    return add_checked(app, name, "TIME", help, [&time, name, now](const std::string& v) {
        time = parse_time(v, now);
        if (!time)
            throw UsageError(name + " takes an ISO 8601 time (2026-12-08, 2026-12-08T06:30, ...T06:30:00+01:00) "
                                    "or an age (45s, 30m, 2h, 7d, 2w), not \"" + v + "\"");
    });
}

CLI::Option* add_format(CLI::App& app, OutputFormat& format) {
    return add_checked(app, "--format", "FORMAT", "text (the default), json (one object a line) or csv",
                       [&format](const std::string& v) {
                           const auto named = output_format_named(v);
                           if (!named) throw UsageError("--format must be text, json or csv, not \"" + v + "\"");
                           format = *named;
                       });
}

// ---- one function per command: its options, their help and their checks ----

void describe_run(CLI::App& run, RunOptions& o) {
    run.add_option("SITE.json", o.config_path,
                   "site configuration; without it the bundled example site runs against the embedded simulator")
        ->type_name("");
    run.add_flag("--json", o.json, "one JSON object per line per event instead of the round view");
    add_checked(run, "--rounds", "N",
                "stop after N complete rounds of every power system (exit 0); a port that cannot be opened is then "
                "an error (exit 1)",
                [&o](const std::string& v) { o.rounds = parse_unsigned(v, "--rounds"); });
    add_checked(run, "--give-up-after", "N",
                "with --rounds: exit 1 with a diagnosis once a power system has had N failed attempts in a row "
                "(default 10)",
                [&o](const std::string& v) {
                    o.give_up_after = parse_unsigned(v, "--give-up-after");
                    if (o.give_up_after == 0) throw UsageError("--give-up-after must be at least 1");
                });
    add_checked(
        run, "--get", "ID:KEY", "after each round, ask device ID for KEY (repeatable)",
        [&o](const std::string& q) {
            const size_t colon = q.find(':');
            if (colon == std::string::npos || colon + 1 == q.size())
                throw UsageError("--get takes ID:KEY, not \"" + q + "\"");
            o.queries.push_back({parse_unsigned(q.substr(0, colon), "the ID of --get"), q.substr(colon + 1), q});
        },
        true);
    run.add_option("--plugin", o.plugin,
                   "the plug-in to load (default: the one built beside voka-host, then the installed one)")
        ->type_name("PATH");
    add_database(run, o.database, true);
    add_checked(run, "--listen", "ADDR:PORT",
                "serve /metrics and the HTTP API there (in place of the site's \"http\": {\"listen\": ...}); "
                "an address other than loopback needs the site's \"http\": {\"auth\": ...}",
                [&o](const std::string& v) {
                    auto parsed = parse_listen_address(v);
                    if (auto* why = std::get_if<std::string>(&parsed)) throw UsageError("--listen: " + *why);
                    o.listen = std::get<ListenAddress>(parsed);
                });
}

void describe_probe(CLI::App& probe, ProbeOptions& o) {
    probe.add_option("--port", o.port, "the serial port the power system is on")->type_name("DEV")->required();
    add_checked(
        probe, "--baud", "B", "a baud rate to try (repeatable; default 9600, 19200, 4800, 2400, 1200)",
        [&o](const std::string& v) {
            const unsigned rate = parse_unsigned(v, "--baud");
            if (rate > 4'000'000 || !is_supported_baud_rate(static_cast<int>(rate)))
                throw UsageError("--baud " + v + " is not a rate a serial port can be set to");
            o.baud_rates.push_back(static_cast<int>(rate));
        },
        true);
    CLI::Option* address =
        add_checked(probe, "--address", "A", "the address to try (default 1)", [&o](const std::string& v) {
            o.addresses = {parse_in_range(v, "--address", 0, 255)};
        });
    CLI::Option* scan = probe.add_flag_callback(
        "--scan-addresses",
        [&o] {
            o.addresses.clear();
            for (unsigned a = 1; a <= 254; ++a) o.addresses.push_back(a);
        },
        "try every address from 1 to 254");
    address->excludes(scan);
    add_checked(probe, "--answer-start-ms", "MS",
                "how long the equipment may take to start its answer once the command has gone (default 200)",
                [&o](const std::string& v) {
                    o.answer_start_ms = static_cast<int>(parse_in_range(v, "--answer-start-ms", 1, 60'000));
                });
    probe.callback([&o] {
        if (o.baud_rates.empty()) o.baud_rates = {9600, 19200, 4800, 2400, 1200};
        if (o.addresses.empty()) o.addresses = {1};
    });
}

void describe_alarms(CLI::App& alarms, AlarmsOptions& o) {
    CLI::Option* log =
        alarms.add_flag("--log", o.log, "the alarms that started and ended (and those active), the newest first");
    add_time(alarms, "--since", "only alarms started, ended or active at or after TIME", o.since)
        ->needs(log);
    add_checked(alarms, "--data-id", "N", "only the alarms of device N",
                [&o](const std::string& v) { o.data_id = parse_unsigned(v, "--data-id"); })
        ->needs(log);
    add_format(alarms, o.format)->needs(log);
    add_database(alarms, o.database, false);
}

void describe_history(CLI::App& history, HistoryOptions& o) {
    history
        .add_option_function<std::string>(
            "DATA_ID", [&o](const std::string& v) { o.data_id = parse_unsigned(v, "DATA_ID"); },
            "the device whose records to print")
        ->type_name("")
        ->required();
    add_time(history, "--since", "only records stored at or after TIME", o.since);
    add_time(history, "--until", "only records stored at or before TIME", o.until);
    add_checked(history, "--limit", "N", "at most N records (the oldest N, or the newest with --newest-first)",
                [&o](const std::string& v) { o.limit = parse_in_range(v, "--limit", 1, 4'000'000'000u); });
    history.add_flag("--newest-first", o.newest_first, "the newest record first");
    add_format(history, o.format);
    add_database(history, o.database, false);
}

void describe_check(CLI::App& check, CheckOptions& o) {
    check.add_option("SITE.json", o.config_path, "the site configuration to check")->type_name("")->required();
    check.add_option("--plugin", o.plugin, "the plug-in whose masters take the power systems (default: as run finds it)")
        ->type_name("PATH");
}

bool names_a_command(std::string_view arg) {
    return arg == "run" || arg == "probe" || arg == "alarms" || arg == "history" || arg == "config" || arg == "--help" ||
           arg == "-h";
}

}  // namespace

HostOptions parse_host_options(int argc, char** argv) {
    HostOptions o;
    CLI::App app("voka-host: runs the voka plug-in against a site's power systems, finds power systems on a "
                 "line, and shows the stored alarms and history.",
                 kProgram);
    app.require_subcommand(1, 1);
    app.footer("Without a command, voka-host runs: \"voka-host SITE.json\" is \"voka-host run SITE.json\".\n"
               "\"voka-host COMMAND --help\" lists a command's options.");
    std::vector<std::pair<CLI::App*, HostCommand>> commands;
    const auto command = [&](const char* name, const char* what, HostCommand which) {
        commands.emplace_back(app.add_subcommand(name, what), which);
        return commands.back().first;
    };
    CLI::App* run = command("run", "poll the site's power systems (the default command)", HostCommand::run);
    CLI::App* probe = command("probe", "find a power system on a serial line and print its site element",
                              HostCommand::probe);
    CLI::App* alarms = command("alarms", "list the active alarms, or with --log those that came and went", HostCommand::alarms);
    CLI::App* history = command("history", "print a device's stored records, decoded", HostCommand::history);
    describe_run(*run, o);
    describe_probe(*probe, o.probe);
    describe_alarms(*alarms, o.alarms);
    describe_history(*history, o.history);
    // `config` groups what concerns the site file itself.
    CLI::App* config = app.add_subcommand("config", "the site file");
    config->require_subcommand(1, 1);
    commands.emplace_back(config->add_subcommand("check", "check a site file as a start would, opening no port, "
                                                          "database or socket (exit 0, or 2 naming the problem)"),
                          HostCommand::config_check);
    describe_check(*commands.back().first, o.check);
    commands.emplace_back(config->add_subcommand("keys", "print every key a site file may hold, as a Markdown table"),
                          HostCommand::config_keys);

    // Without a command name, the arguments are run's.
    std::vector<char*> args(argv, argv + argc);
    static char run_name[] = "run";
    if (argc < 2 || !names_a_command(argv[1])) args.insert(args.begin() + 1, run_name);

    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::CallForHelp&) {
        o.help = app.help();  // the chosen command's, or the overview
    } catch (const CLI::CallForAllHelp&) {
        o.help = app.help("", CLI::AppFormatMode::All);
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what(), app.help());
    } catch (const UsageError& e) {
        throw UsageError(e.what(), app.help());
    }
    for (const auto& [sub, which] : commands)
        if (sub->parsed()) o.command = which;
    return o;
}
