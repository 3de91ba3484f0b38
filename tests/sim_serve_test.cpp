// The power system served on a pseudo-terminal, from a thread and as the
// voka-sim program: a real master polls it through the host's serial line,
// it waits (without spinning) while no host has the line open, it stops on
// request or after its rounds, and it reports bad scenarios and ports.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

#include "simulator/line_server.h"
#include "tests/support/sim_host.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

sim::Scenario scenario_of(const std::string& json) { return sim::parse_scenario(json, "t.json"); }

const std::string kChangingSite = R"({
    "equipment": {"baud_rate": 115200},
    "site": {"dc": [{"v": 52.5, "i": 30}], "modules": [{"current": 7.5}, {"current": 8.5}]},
    "changes": [{"from_round": 2, "set": {"dc[0].v": 47.5, "modules[1].fault": 1}}]})";

struct StopSignal {
    StopSignal() : fd(eventfd(0, EFD_CLOEXEC)) {}
    ~StopSignal() { close(fd); }
    void raise() const {
        const uint64_t one = 1;
        EXPECT_EQ(write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    int fd;
};

TEST(SimServe, AVokaMasterPollsThePowerSystemOverAPseudoTerminal) {
    PtyPair pty = open_pty_pair();
    sim::SimulatedPowerSystem system(scenario_of(kChangingSite));
    StopSignal stop;
    sim::ServeOptions options;
    options.stop_fd = stop.fd;
    options.hangup_retry = 20ms;
    sim::ServeResult result;
    std::thread server([&] { result = sim::serve(pty.master, system, options); });

    // Each round from a host session of its own; between them no host has
    // the line open, and the server waits for the next one.
    struct Round {
        float dc_v;
        uint8_t module1_fault;
    };
    for (const Round r : {Round{52.5f, 0}, Round{47.5f, 1}}) {
        {
            SerialLine line(pty.slave_path, 115200);
            LineHost host(line, 1000);
            ASSERT_TRUE(host.configured);
            EXPECT_EQ(host.run_round(), ExchangeEnd::answered);
            EXPECT_FLOAT_EQ(host.dc("v"), r.dc_v);
            EXPECT_FLOAT_EQ(host.dc("i"), 30);
            EXPECT_FLOAT_EQ(host.module_current(1), 8.5f);
            EXPECT_EQ(host.module_fault(1), r.module1_fault);
            EXPECT_TRUE(host.logs.empty()) << host.logs.front();
        }
        std::this_thread::sleep_for(100ms);  // hung up
    }
    stop.raise();
    server.join();
    EXPECT_EQ(result.end, sim::ServeEnd::stopped);
    // It looked for a host every 20 ms for 2 × 100 ms, not in a tight loop.
    EXPECT_GE(result.hangup_waits, 4u);
    EXPECT_LE(result.hangup_waits, 40u);
    EXPECT_EQ(system.round(), 2u);
    EXPECT_EQ(system.counters().commands, 20u);
}

TEST(SimServe, EndsByItselfOnceItsRoundsAreDone) {
    PtyPair pty = open_pty_pair();
    sim::SimulatedPowerSystem system(scenario_of(kChangingSite));
    sim::ServeOptions options;
    options.rounds = 1;
    options.pace = false;
    options.linger = 50ms;
    sim::ServeResult result;
    std::thread server([&] { result = sim::serve(pty.master, system, options); });
    SerialLine line(pty.slave_path, 115200);
    LineHost host(line, 200);
    EXPECT_EQ(host.run_round(), ExchangeEnd::answered);
    server.join();
    EXPECT_EQ(result.end, sim::ServeEnd::rounds_done);
    EXPECT_EQ(system.finished_round(), 1u);
    EXPECT_EQ(host.run_round(), ExchangeEnd::timed_out);  // nobody answers round 2
}

// ---- voka-sim ----

// voka-sim started with its standard output and error on pipes.
struct SimProgram : ChildProcess {
    explicit SimProgram(const std::vector<std::string>& args) : ChildProcess(VOKA_SIM_PATH, args) {}
    // The first line of standard output; "" if none came in 10 s.
    std::string first_line() { return next_line().value_or(""); }
};

const std::string kExample = std::string(VOKA_SCENARIO_DIR) + "/example-site.json";
const std::string kPrefix = "voka-sim: listening on ";

TEST(SimProgram, ServesAPseudoTerminalUntilSigtermOrSigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        SimProgram sim({kExample, "--baud", "115200"});
        const std::string first = sim.first_line();
        ASSERT_EQ(first.substr(0, kPrefix.size()), kPrefix);
        {
            SerialLine line(first.substr(kPrefix.size()), 115200);
            LineHost host(line, 1000);
            EXPECT_EQ(host.run_round(), ExchangeEnd::answered);
            EXPECT_FLOAT_EQ(host.ac("channel_0_a"), 231);
            EXPECT_NEAR(host.dc("v"), 53.6, 1e-4);
        }
        sim.signal(sig);
        EXPECT_EQ(sim.exit_status(), 0) << strsignal(sig);
    }
}

TEST(SimProgram, EndsByItselfAfterItsRounds) {
    SimProgram sim({kExample, "--no-pace", "--rounds", "2", "--verbose"});
    const std::string first = sim.first_line();
    ASSERT_EQ(first.substr(0, kPrefix.size()), kPrefix);
    SerialLine line(first.substr(kPrefix.size()), 9600);
    LineHost host(line, 1000);
    EXPECT_EQ(host.run_round(), ExchangeEnd::answered);
    EXPECT_EQ(host.run_round(), ExchangeEnd::answered);
    EXPECT_EQ(sim.exit_status(), 0);
    const std::string errors = sim.errors();
    EXPECT_NE(errors.find("voka-sim: round 2 begins"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("round 3"), std::string::npos) << errors;
}

TEST(SimProgram, ReportsBadScenariosPortsAndUsage) {
    const std::string bad = testing::TempDir() + "sim_bad_scenario.json";
    std::ofstream(bad) << R"({"site": {"modules": [{"faul": 1}]}})";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{bad}, 2, "voka-sim: " + bad + ": site.modules[0].faul: unknown member"},
        {{"/nonexistent/site.json"}, 2, "voka-sim: /nonexistent/site.json: cannot read: No such file or directory"},
        {{kExample, "--port", "/nonexistent/ttyS9"}, 1, "voka-sim: serial line /nonexistent/ttyS9: cannot open"},
        {{kExample, "--port", "/dev/null"}, 1, "voka-sim: serial line /dev/null: cannot configure"},
        {{kExample, "--baud", "fast"}, 2, "voka-sim: --baud: expected a rate"},
        {{kExample, "--rounds", "0"}, 2, "voka-sim: --rounds: expected a positive count, got \"0\""},
        {{kExample, "--rounds"}, 2, "voka-sim: --rounds needs a value"},
        {{kExample, "--colour"}, 2, "voka-sim: unknown option --colour"},
        {{}, 2, "voka-sim: no scenario file given"},
        {{kExample, kExample}, 2, "voka-sim: give one scenario file"},
    };
    for (const Case& c : cases) {
        SimProgram sim(c.args);
        const std::string label = c.args.empty() ? "(no arguments)" : c.args.back();
        EXPECT_EQ(sim.exit_status(), c.status) << label;
        const std::string errors = sim.errors();
        EXPECT_EQ(errors.substr(0, c.message.size()), c.message) << label << ": " << errors;
    }
}

}  // namespace
