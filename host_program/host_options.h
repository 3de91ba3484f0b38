#pragma once
// The command line of voka-host.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

inline constexpr const char* kHostUsage =
    "usage: voka-host [SITE.json] [--json] [--rounds N [--give-up-after N]] [--get ID:KEY]... [--plugin PATH]\n"
    "                 [--db PATH]\n"
    "       voka-host alarms [--db PATH]          list the active alarms\n"
    "       voka-host history DATA_ID [--db PATH] print a device's stored records\n"
    "  SITE.json     site configuration; without it the bundled example site runs\n"
    "                against the embedded simulator\n"
    "  --json        one JSON object per line per event instead of the round view\n"
    "  --rounds N    stop after N complete rounds of every power system (exit 0); a\n"
    "                port that cannot be opened is then an error (exit 1)\n"
    "  --give-up-after N  with --rounds: exit 1 with a diagnosis once a power system\n"
    "                has had N failed attempts in a row (default 10)\n"
    "  --get ID:KEY  after each round, ask device ID for KEY (repeatable)\n"
    "  --plugin PATH the plug-in to load (default: the one built beside voka-host,\n"
    "                then the installed one)\n"
    "  --db PATH     the history and alarm database (default: the site's\n"
    "                \"history\": {\"database\": ...}, else voka-history.db)\n";

struct ValueQuery {
    unsigned data_id = 0;
    std::string key;
    std::string text;  // as given, "ID:KEY"
};

enum class HostCommand { run, alarms, history };

struct HostOptions {
    HostCommand command = HostCommand::run;
    unsigned history_id = 0;  // for `history`
    std::optional<std::string> database;
    std::optional<std::string> config_path;
    std::optional<std::string> plugin;
    bool json = false;
    bool help = false;
    unsigned rounds = 0;  // 0: run until stopped
    unsigned give_up_after = 10;  // with rounds: consecutive failed attempts before exit 1
    std::vector<ValueQuery> queries;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError naming what is wrong.
HostOptions parse_host_options(int argc, char** argv);
