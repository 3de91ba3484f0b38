#include "host/voka-host/probe/probe_command.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "host/voka-host/probe/line_probe.h"
#include "host/voka-host/probe/site_element.h"
#include "host/line/serial_line.h"

namespace {

// One progress line on standard error: rewritten in place on a terminal,
// else one line for each baud rate (a log need not hold every address).
class Progress {
public:
    Progress() : terminal_(isatty(STDERR_FILENO) == 1) {}
    ~Progress() { clear(); }
    void trying(const std::string& port, int baud, unsigned address, const std::vector<unsigned>& all) {
        const std::string range =
            all.size() == 1 ? fmt::format("address {}", all.front())
                            : fmt::format("address {} ({} to {})", address, all.front(), all.back());
        if (terminal_) {
            fmt::print(stderr, "\r\033[Kprobing {} at {} baud, {} ...", port, baud, range);
            std::fflush(stderr);
            shown_ = true;
        } else if (baud != last_baud_) {
            fmt::print(stderr, "voka-host: probing {} at {} baud, {} address{}\n", port, baud, all.size(),
                       all.size() == 1 ? "" : "es");
        }
        last_baud_ = baud;
    }
    void clear() {
        if (shown_) fmt::print(stderr, "\r\033[K");
        shown_ = false;
    }

private:
    bool terminal_;
    bool shown_ = false;
    int last_baud_ = 0;
};

std::string listed(const std::vector<int>& rates) {
    std::string out;
    for (size_t i = 0; i < rates.size(); ++i) out += (i ? ", " : "") + std::to_string(rates[i]);
    return out;
}

}  // namespace

int run_probe(const ProbeOptions& options, const volatile std::sig_atomic_t& stop) {
    unsigned found = 0;
    std::vector<int> garbled_at;
    Progress progress;
    for (int baud : options.baud_rates) {
        if (stop) break;
        std::optional<SerialLine> line;
        try {
            line.emplace(options.port, baud);
        } catch (const std::system_error& e) {
            progress.clear();
            fmt::print(stderr, "voka-host: {}\n", e.what());
            return 1;
        }
        probe::LineProbe line_probe(*line, baud, options.answer_start_ms);
        for (unsigned address : options.addresses) {
            if (stop) break;
            progress.trying(options.port, baud, address, options.addresses);
            std::optional<probe::Finding> finding;
            try {
                finding = line_probe.identify(static_cast<uint8_t>(address));
            } catch (const std::system_error& e) {
                progress.clear();
                fmt::print(stderr, "voka-host: {}: {}\n", options.port, e.what());
                return 1;
            }
            if (!finding) continue;
            progress.clear();
            ++found;
            fmt::print("found {}\n", probe::describe(*finding));
            for (const auto& note : finding->notes) fmt::print("  {}\n", note);
            fmt::print("site element, for \"power_systems\":\n{}", probe::site_element(*finding, options.port));
            std::fflush(stdout);
        }
        if (line_probe.heard_garble()) garbled_at.push_back(baud);
        if (found) break;  // one line runs at one rate
    }
    progress.clear();
    if (found) return 0;
    if (stop) {
        fmt::print(stderr, "voka-host: probe stopped; nothing answered so far\n");
        return 1;
    }
    fmt::print(stderr, "voka-host: nothing answered on {} at {} baud, {}; check the wiring, the address{} and the "
                       "baud rate (--baud)\n",
               options.port, listed(options.baud_rates),
               options.addresses.size() == 1 ? fmt::format("address {}", options.addresses.front())
                                             : fmt::format("addresses {} to {}", options.addresses.front(),
                                                           options.addresses.back()),
               options.addresses.size() == 1 ? " (--scan-addresses)" : "");
    if (!garbled_at.empty())
        fmt::print(stderr, "voka-host: bytes that made no frame came back at {} baud: something may answer at "
                           "another rate\n", listed(garbled_at));
    return 1;
}
