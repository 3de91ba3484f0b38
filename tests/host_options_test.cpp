// voka-host's subcommands: each takes its own options, `run` is taken when no
// command is named, and every mistake is a UsageError before anything opens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/voka-host/host_options.h"

namespace {

HostOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "voka-host");
    return parse_host_options(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

}  // namespace

TEST(HostCommands, EachCommandTakesItsOwnOptions) {
    EXPECT_EQ(parse({}).command, HostCommand::run);
    const auto run = parse({"run", "site.json", "--rounds", "2", "--db", "r.db"});
    EXPECT_EQ(run.command, HostCommand::run);
    EXPECT_EQ(run.config_path, "site.json");
    EXPECT_EQ(run.database, "r.db");
    EXPECT_EQ(run.rounds, 2u);

    const auto probe = parse({"probe", "--port", "/dev/ttyUSB0"});
    EXPECT_EQ(probe.command, HostCommand::probe);
    EXPECT_EQ(probe.probe.port, "/dev/ttyUSB0");
    EXPECT_EQ(probe.probe.baud_rates, (std::vector<int>{9600, 19200, 4800, 2400, 1200}));
    EXPECT_EQ(probe.probe.addresses, (std::vector<unsigned>{1}));
    const auto chosen = parse({"probe", "--port", "p", "--baud", "19200", "--baud", "1200", "--address", "7"});
    EXPECT_EQ(chosen.probe.baud_rates, (std::vector<int>{19200, 1200}));
    EXPECT_EQ(chosen.probe.addresses, (std::vector<unsigned>{7}));
    const auto scan = parse({"probe", "--scan-addresses", "--port", "p"});
    ASSERT_EQ(scan.probe.addresses.size(), 254u);
    EXPECT_EQ(scan.probe.addresses.front(), 1u);
    EXPECT_EQ(scan.probe.addresses.back(), 254u);

    const auto alarms = parse({"alarms", "--db", "a.db"});
    EXPECT_EQ(alarms.command, HostCommand::alarms);
    EXPECT_EQ(alarms.alarms.database, "a.db");
    const auto history = parse({"history", "21", "--db", "h.db"});
    EXPECT_EQ(history.command, HostCommand::history);
    EXPECT_EQ(history.history.data_id, 21u);
    EXPECT_EQ(history.history.database, "h.db");
    const auto check = parse({"config", "check", "site.json", "--plugin", "v.so"});
    EXPECT_EQ(check.command, HostCommand::config_check);
    EXPECT_EQ(check.check.config_path, "site.json");
    EXPECT_EQ(check.check.plugin, "v.so");
}

TEST(HostCommands, HelpIsPerCommand) {
    const auto top = parse({"--help"});
    ASSERT_TRUE(top.help);
    EXPECT_NE(top.help->find("probe"), std::string::npos) << *top.help;
    const auto probe = parse({"probe", "--help"});
    ASSERT_TRUE(probe.help);
    EXPECT_NE(probe.help->find("--scan-addresses"), std::string::npos) << *probe.help;
    EXPECT_EQ(probe.help->find("--rounds"), std::string::npos) << *probe.help;
    const auto run = parse({"site.json", "--help"});
    ASSERT_TRUE(run.help);
    EXPECT_NE(run.help->find("--rounds"), std::string::npos) << *run.help;
}

TEST(HostCommands, RefusesMistakesWithTheCommandsUsage) {
    const std::vector<std::vector<const char*>> bad = {
        {"probe"},                                                  // no port
        {"probe", "--port", "p", "--address", "7", "--scan-addresses"},
        {"probe", "--port", "p", "--baud", "12345"},
        {"probe", "--port", "p", "--baud", "0"},
        {"probe", "--port", "p", "--address", "256"},
        {"probe", "--port", "p", "--rounds", "1"},                  // another command's option
        {"history"},
        {"history", "x"},
        {"history", "21", "22"},
        {"alarms", "extra"},
        {"alarms", "--json"},
        {"config", "check"},                                        // no site file
        {"config", "check", "site.json", "--rounds", "1"},
    };
    for (const auto& args : bad) {
        try {
            parse(args);
            ADD_FAILURE() << "accepted: " << args[0] << " " << (args.size() > 1 ? args[1] : "");
        } catch (const UsageError& e) {
            const std::string usage = e.usage();
            EXPECT_NE(usage.find(std::string("voka-host ") + args[0]), std::string::npos) << usage;
        }
    }
}
