#include "host_program/host_options.h"

#include <charconv>
#include <string_view>

namespace {

unsigned parse_unsigned(std::string_view text, const char* what) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        throw UsageError(std::string(what) + " must be a whole number, not \"" + std::string(text) + "\"");
    return value;
}

}  // namespace

HostOptions parse_host_options(int argc, char** argv) {
    HostOptions o;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "alarms") {
        o.command = HostCommand::alarms;
        first = 2;
    } else if (argc > 1 && std::string_view(argv[1]) == "history") {
        if (argc < 3) throw UsageError("history needs a DATA_ID");
        o.command = HostCommand::history;
        o.history_id = parse_unsigned(argv[2], "DATA_ID");
        first = 3;
    }
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&](const char* name) -> std::string_view {
            if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
            return argv[++i];
        };
        if (arg == "--json") {
            o.json = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--rounds") {
            o.rounds = parse_unsigned(value("--rounds"), "--rounds");
        } else if (arg == "--give-up-after") {
            o.give_up_after = parse_unsigned(value("--give-up-after"), "--give-up-after");
            if (o.give_up_after == 0) throw UsageError("--give-up-after must be at least 1");
        } else if (arg == "--db") {
            o.database = std::string(value("--db"));
        } else if (arg == "--plugin") {
            o.plugin = std::string(value("--plugin"));
        } else if (arg == "--get") {
            const std::string_view q = value("--get");
            const size_t colon = q.find(':');
            if (colon == std::string_view::npos || colon + 1 == q.size())
                throw UsageError("--get takes ID:KEY, not \"" + std::string(q) + "\"");
            o.queries.push_back({parse_unsigned(q.substr(0, colon), "the ID of --get"), std::string(q.substr(colon + 1)),
                                 std::string(q)});
        } else if (!arg.empty() && arg[0] == '-') {
            throw UsageError("unknown option " + std::string(arg));
        } else if (o.command != HostCommand::run) {
            throw UsageError("unexpected argument " + std::string(arg));
        } else if (!o.config_path) {
            o.config_path = std::string(arg);
        } else {
            throw UsageError("only one site configuration file may be given");
        }
    }
    return o;
}
