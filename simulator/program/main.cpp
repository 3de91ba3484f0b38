// voka-sim: a simulated power system on a serial line, run from a scenario.
//
//   voka-sim SCENARIO.json [--port /dev/ttyX] [--baud N] [--address A] [--match-baud] [--no-pace] [--rounds N]
//            [--verbose]
//
// Without --port it makes a pseudo-terminal and serves its far end; the host
// opens the path printed on the first line of standard output. It serves
// until SIGINT or SIGTERM, or until N rounds are done.
// Exit status: 0 done, 1 the line could not be opened or failed, 2 bad usage
// or a bad scenario.
#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "host/line/serial_line.h"
#include "simulator/line_server.h"
#include "simulator/scenario.h"
#include "simulator/simulated_power_system.h"

namespace {

constexpr int kExitLine = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kUsage =
    "usage: voka-sim SCENARIO.json [--port /dev/ttyX] [--baud N] [--address A] [--match-baud] [--no-pace]\n"
    "                [--rounds N] [--verbose]\n"
    "  --port PATH   serve on this serial port (default: a new pseudo-terminal)\n"
    "  --baud N      line rate (default: the scenario's equipment.baud_rate)\n"
    "  --address A   the address the equipment answers to (default: the scenario's equipment.address)\n"
    "  --match-baud  on a pseudo-terminal, hear commands only while the host's end is set to the line\n"
    "                rate, as equipment hears nothing but noise at another rate\n"
    "  --no-pace     send answers at once instead of 10 bits a byte at the line rate\n"
    "  --rounds N    end once N rounds are done (default: serve until SIGINT or SIGTERM)\n"
    "  --verbose     report each round and each fault on standard error\n";

struct Options {
    std::string scenario;
    std::optional<std::string> port;
    std::optional<int> baud;
    std::optional<uint8_t> address;
    bool match_baud = false;
    bool pace = true;
    unsigned rounds = 0;
    bool verbose = false;
};

void complain(std::string_view message) { fmt::print(stderr, "voka-sim: {}\n", message); }

std::optional<long> in_range(const char* text, long min, long max) {
    long n = 0;
    const char* end = text + std::strlen(text);
    const auto [p, ec] = std::from_chars(text, end, n);
    if (ec != std::errc{} || p != end || n < min || n > max) return std::nullopt;
    return n;
}
std::optional<long> positive(const char* text, long max) { return in_range(text, 1, max); }

// The options, or nothing after a message on standard error.
std::optional<Options> read_options(int argc, char** argv) {
    static const option kLong[] = {
        {"port", required_argument, nullptr, 'p'}, {"baud", required_argument, nullptr, 'b'},
        {"no-pace", no_argument, nullptr, 'n'},    {"rounds", required_argument, nullptr, 'r'},
        {"verbose", no_argument, nullptr, 'v'},    {"help", no_argument, nullptr, 'h'},
        {"address", required_argument, nullptr, 'a'}, {"match-baud", no_argument, nullptr, 'm'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":p:b:r:a:nvmh", kLong, nullptr)) != -1;) {
        switch (c) {
            case 'p': o.port = optarg; break;
            case 'n': o.pace = false; break;
            case 'v': o.verbose = true; break;
            case 'm': o.match_baud = true; break;
            case 'a':
                if (const auto n = in_range(optarg, 0, 255)) {
                    o.address = static_cast<uint8_t>(*n);
                    break;
                }
                complain(fmt::format("--address: expected an address from 0 to 255, got \"{}\"", optarg));
                return std::nullopt;
            case 'b':
                if (const auto n = positive(optarg, 4'000'000)) {
                    o.baud = static_cast<int>(*n);
                    break;
                }
                complain(fmt::format("--baud: expected a rate from 1 to 4000000, got \"{}\"", optarg));
                return std::nullopt;
            case 'r':
                if (const auto n = positive(optarg, 1'000'000'000)) {
                    o.rounds = static_cast<unsigned>(*n);
                    break;
                }
                complain(fmt::format("--rounds: expected a positive count, got \"{}\"", optarg));
                return std::nullopt;
            case 'h': fmt::print("{}", kUsage); std::exit(0);
            case ':': complain(fmt::format("{} needs a value", argv[optind - 1])); return std::nullopt;
            default: complain(fmt::format("unknown option {}", argv[optind - 1])); return std::nullopt;
        }
    }
    if (optind + 1 != argc) {
        complain(optind == argc ? "no scenario file given" : "give one scenario file");
        fmt::print(stderr, "{}", kUsage);
        return std::nullopt;
    }
    o.scenario = argv[optind];
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = read_options(argc, argv);
    if (!options) return kExitUsage;

    std::optional<sim::SimulatedPowerSystem> system;
    try {
        sim::Scenario scenario = sim::load_scenario(options->scenario);
        if (options->baud) scenario.equipment.baud_rate = *options->baud;
        if (options->address) scenario.equipment.address = *options->address;
        system.emplace(std::move(scenario));
    } catch (const sim::ScenarioError& e) {
        complain(e.what());
        return kExitUsage;
    }
    if (options->verbose) system->set_event_sink([](std::string_view text) { complain(text); });

    // Signals end the serving loop through a descriptor it polls, never mid-write.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) {
        complain(fmt::format("cannot block SIGINT and SIGTERM: {}", std::strerror(errno)));
        return kExitLine;
    }
    const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (stop_fd < 0) {
        complain(fmt::format("cannot make a signal descriptor: {}", std::strerror(errno)));
        return kExitLine;
    }

    std::optional<SerialLine> line;
    std::string listening_on;
    try {
        if (options->port) {
            line.emplace(*options->port, system->scenario().equipment.baud_rate);
            listening_on = *options->port;
        } else {
            PtyPair pty = open_pty_pair();
            line.emplace(std::move(pty.master));
            listening_on = pty.slave_path;
        }
    } catch (const std::system_error& e) {
        complain(e.what());
        return kExitLine;
    }
    fmt::print("voka-sim: listening on {}\n", listening_on);
    std::fflush(stdout);

    sim::ServeOptions serve_options;
    serve_options.pace = options->pace;
    serve_options.stop_fd = stop_fd;
    serve_options.rounds = options->rounds;
    serve_options.match_baud = options->match_baud;
    const sim::ServeResult result = sim::serve(*line, *system, serve_options);
    close(stop_fd);

    const auto& c = system->counters();
    if (options->verbose)
        complain(fmt::format("{} commands, {} unknown, {} unanswered, {} faults applied, {} for other addresses, "
                             "{} bad frames, ended in round {}",
                             c.commands, c.unknown_commands, c.unanswered, c.faults, c.other_address, c.bad_frames,
                             system->round()));
    if (result.end == sim::ServeEnd::line_failed) {
        complain(fmt::format("line {} failed: {}", listening_on, result.error.message()));
        return kExitLine;
    }
    return 0;
}
