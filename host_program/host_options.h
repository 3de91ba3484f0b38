#pragma once
// The command line of voka-host.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

inline constexpr const char* kHostUsage =
    "usage: voka-host [SITE.json] [--json] [--rounds N] [--get ID:KEY]... [--plugin PATH]\n"
    "  SITE.json     site configuration; without it the bundled example site runs\n"
    "                against the embedded simulator\n"
    "  --json        one JSON object per line per event instead of the round view\n"
    "  --rounds N    stop after N complete rounds of every power system\n"
    "  --get ID:KEY  after each round, ask device ID for KEY (repeatable)\n"
    "  --plugin PATH the plug-in to load (default: the one built beside voka-host,\n"
    "                then the installed one)\n";

struct ValueQuery {
    unsigned data_id = 0;
    std::string key;
    std::string text;  // as given, "ID:KEY"
};

struct HostOptions {
    std::optional<std::string> config_path;
    std::optional<std::string> plugin;
    bool json = false;
    bool help = false;
    unsigned rounds = 0;  // 0: run until stopped
    std::vector<ValueQuery> queries;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError naming what is wrong.
HostOptions parse_host_options(int argc, char** argv);
