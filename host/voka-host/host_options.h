#pragma once
// The command line of voka-host: one subcommand per job, `run` the default.
//
//   voka-host [run] [SITE.json] [--json] [--rounds N [--give-up-after N]] [--get ID:KEY]... [--plugin PATH]
//                   [--db PATH] [--listen ADDR:PORT]
//   voka-host probe --port DEV [--baud B]... [--address A | --scan-addresses] [--answer-start-ms MS]
//   voka-host alarms [--log [--since T] [--data-id N] [--format text|json|csv]] [--db PATH]
//   voka-host history DATA_ID [--since T] [--until T] [--limit N] [--newest-first] [--format F] [--db PATH]
//   voka-host config check SITE.json [--plugin PATH]
//   voka-host config keys
//
// Each subcommand's options live in its own struct below, and are declared
// (name, help, check) in one function of host_options.cpp; adding an option
// is a member here and a line there. Every value is checked while parsing,
// before anything is opened.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/voka-host/http/listen_address.h"
#include "host/voka-host/probe/probe_options.h"
#include "host/voka-host/reading/output_format.h"

struct ValueQuery {
    unsigned data_id = 0;
    std::string key;
    std::string text;  // as given, "ID:KEY"
};

struct RunOptions {
    std::optional<std::string> config_path;
    std::optional<std::string> plugin;
    std::optional<std::string> database;
    bool json = false;
    unsigned rounds = 0;  // 0: run until stopped
    unsigned give_up_after = 10;  // with rounds: consecutive failed attempts before exit 1
    std::vector<ValueQuery> queries;
    std::optional<ListenAddress> listen;  // serve HTTP there, in place of the site's "http": {"listen"}
};

// Times are seconds since the epoch; an age ("2h") is taken back from the
// moment the command line was read.
struct AlarmsOptions {
    std::optional<std::string> database;
    bool log = false;  // the started and ended alarms, not only the active ones
    std::optional<int64_t> since;
    std::optional<unsigned> data_id;
    OutputFormat format = OutputFormat::text;
};

struct HistoryOptions {
    unsigned data_id = 0;
    std::optional<std::string> database;
    std::optional<int64_t> since, until;
    unsigned limit = 0;  // 0: every row
    bool newest_first = false;
    OutputFormat format = OutputFormat::text;
};

// The site file checked as a start would check it, nothing opened.
struct CheckOptions {
    std::string config_path;
    std::optional<std::string> plugin;
};

enum class HostCommand { run, probe, alarms, history, config_check, config_keys };

// `run` is the default command, so its options are the host's own members
// (`options.json`); the other commands' options are grouped by name.
struct HostOptions : RunOptions {
    HostCommand command = HostCommand::run;
    ProbeOptions probe;
    AlarmsOptions alarms;
    HistoryOptions history;
    CheckOptions check;
    std::optional<std::string> help;  // --help was given: the text to print, and nothing else to do
};

// A command line that cannot be used. `usage` is the help of the command it
// was meant for, to print after the message.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& what, std::string usage = {})
        : std::runtime_error(what), usage_(std::move(usage)) {}
    const std::string& usage() const { return usage_; }

private:
    std::string usage_;
};

// Throws UsageError naming what is wrong.
HostOptions parse_host_options(int argc, char** argv);
