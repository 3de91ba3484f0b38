#include "simulator/line_server.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "simulator/paced_output.h"

namespace sim {
namespace {

using Clock = PacedOutput::Clock;

// Milliseconds for poll() until `due` (rounded up, so a wake-up finds it due); -1: no deadline.
int poll_timeout(std::optional<Clock::time_point> due) {
    if (!due) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits up to `timeout` for `fd` (if any) to become readable; true if it did.
bool readable_within(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, fd >= 0 ? 1 : 0, static_cast<int>(timeout.count()));
    return n > 0 && (p.revents & POLLIN);
}

}  // namespace

ServeResult serve(SerialLine& line, SimulatedPowerSystem& system, const ServeOptions& options) {
    ServeResult result;
    PacedOutput output(system.scenario().equipment.baud_rate, options.pace);
    std::array<uint8_t, 512> buffer{};

    const auto rounds_done = [&] {
        return options.rounds > 0 &&
               (system.finished_round() >= options.rounds || system.round() > options.rounds);
    };
    // The far end went away: what it half sent and what it was to receive are void.
    const auto hung_up = [&] {
        output.clear();
        system.reset_input();
        ++result.hangup_waits;
        return readable_within(options.stop_fd, options.hangup_retry);
    };

    for (;;) {
        const bool finishing = rounds_done();
        if (finishing && output.empty()) {
            // Closing a pseudo-terminal drops what its other end has not read
            // yet: wait for the host's next command, a hang-up or the linger time.
            std::array<pollfd, 2> fds{pollfd{line.fd(), POLLIN, 0}, pollfd{options.stop_fd, POLLIN, 0}};
            poll(fds.data(), options.stop_fd >= 0 ? 2 : 1, static_cast<int>(options.linger.count()));
            result.end = ServeEnd::rounds_done;
            return result;
        }
        std::array<pollfd, 2> fds{pollfd{line.fd(), static_cast<short>(finishing ? 0 : POLLIN), 0},
                                  pollfd{options.stop_fd, POLLIN, 0}};
        const int n = poll(fds.data(), options.stop_fd >= 0 ? 2 : 1, poll_timeout(output.next_due()));
        if (n < 0 && errno != EINTR) {
            result.end = ServeEnd::line_failed;
            result.error = {errno, std::generic_category()};
            return result;
        }
        if (n > 0 && options.stop_fd >= 0 && (fds[1].revents & POLLIN)) return result;  // stopped

        const short events = n > 0 ? fds[0].revents : 0;
        if (events & POLLNVAL) {
            result.end = ServeEnd::line_failed;
            result.error = std::make_error_code(std::errc::bad_file_descriptor);
            return result;
        }
        if (events & POLLIN) {
            const ssize_t got = ::read(line.fd(), buffer.data(), buffer.size());
            if (got > 0 && options.match_baud &&
                line.current_baud_rate() != system.scenario().equipment.baud_rate) {
                result.bytes_at_other_rates += static_cast<uint64_t>(got);
                system.reset_input();
            } else if (got > 0) {
                const auto now = Clock::now();
                for (const Answer& a : system.feed(std::span(buffer).first(static_cast<size_t>(got))))
                    if (options.rounds == 0 || a.round <= options.rounds)
                        output.push(a.bytes, now + std::chrono::milliseconds(a.delay_ms));
            } else if (got == 0 || errno == EIO) {
                if (hung_up()) return result;
                continue;
            } else if (errno != EAGAIN && errno != EINTR) {
                result.end = ServeEnd::line_failed;
                result.error = {errno, std::generic_category()};
                return result;
            }
        } else if (events & (POLLHUP | POLLERR)) {
            if (hung_up()) return result;
            continue;
        }

        std::array<uint8_t, 256> due{};
        for (size_t count; (count = output.take(due, Clock::now())) > 0;) {
            const std::error_code error = line.write_all(std::span(due).first(count));
            if (!error) continue;
            if (error == std::errc::io_error) {  // the pseudo-terminal's other end closed meanwhile
                if (hung_up()) return result;
                break;
            }
            if (error == std::errc::timed_out) {  // nobody reads: these answers are lost
                output.clear();
                break;
            }
            result.end = ServeEnd::line_failed;
            result.error = error;
            return result;
        }
    }
}

}  // namespace sim
