#include "host/line/serial_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "protocol/commands.h"

namespace {

using Clock = std::chrono::steady_clock;

std::system_error line_error(int err, const std::string& path, std::string_view step) {
    return std::system_error(err, std::generic_category(), fmt::format("serial line {}: {}", path, step));
}

// The rates termios can set, with their speed codes: the one list a site
// file's "baud_rate" and the probe's --baud are checked against.
constexpr struct {
    int baud;
    speed_t speed;
} kRates[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
              {150, B150},         {200, B200},         {300, B300},         {600, B600},
              {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
              {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
              {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
              {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
              {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
              {3500000, B3500000}, {4000000, B4000000}};

speed_t speed_of(int baud) {
    for (const auto& r : kRates)
        if (r.baud == baud) return r.speed;
    return B0;
}

int baud_of(speed_t speed) {
    for (const auto& r : kRates)
        if (r.speed == speed) return r.baud;
    return 0;
}

// Raw 8N1, no flow control; reads return at once (the line waits in poll()).
void make_raw(termios& tio) {
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

// Waits for `events` on `fd` until `deadline`: the events that came (hang-up
// and error included), 0 when it timed out, -1 on failure (errno set).
int wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0 && errno == EINTR) continue;
        return n <= 0 ? n : p.revents;
    }
}

// A UART hands over a partly filled receive FIFO after about 4 idle character
// times; 1 ms more covers the reader being scheduled.
constexpr long kFifoIdleBytes = 4;
constexpr std::chrono::milliseconds kWakeSlack{1};

}  // namespace

SerialLine::SerialLine(const std::string& path, int baud_rate)
    : path_(path), byte_time_(protocol::byte_time(baud_rate)) {
    const speed_t speed = speed_of(baud_rate);
    if (speed == B0) throw line_error(EINVAL, path, fmt::format("unsupported baud rate {}", baud_rate));
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw line_error(errno, path, "cannot open");
    termios tio{};
    bool configured = tcgetattr(fd_, &tio) == 0;
    if (configured) {
        make_raw(tio);
        configured = cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0 &&
                     tcsetattr(fd_, TCSANOW, &tio) == 0;
    }
    if (!configured) {
        const int err = errno;
        close_fd();
        throw line_error(err, path, fmt::format("cannot configure raw 8N1 at {} baud", baud_rate));
    }
    tcflush(fd_, TCIOFLUSH);
}

SerialLine::SerialLine(int fd, std::string name) : fd_(fd), path_(std::move(name)) {}

SerialLine::SerialLine(SerialLine&& other) noexcept
    : write_timeout_ms(other.write_timeout_ms),
      fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      byte_time_(other.byte_time_) {}

SerialLine& SerialLine::operator=(SerialLine&& other) noexcept {
    if (this != &other) {
        close_fd();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        write_timeout_ms = other.write_timeout_ms;
        byte_time_ = other.byte_time_;
    }
    return *this;
}

SerialLine::~SerialLine() { close_fd(); }

void SerialLine::close_fd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::error_code SerialLine::write_all(std::span<const uint8_t> bytes) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(write_timeout_ms);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return {errno, std::generic_category()};
        // The line's buffer is full: wait until it takes more.
        const int ready = wait_for(fd_, POLLOUT, deadline);
        if (ready == 0) return std::make_error_code(std::errc::timed_out);
        if (ready < 0) return {errno, std::generic_category()};
    }
    return {};
}

LineRead SerialLine::read_some(std::span<uint8_t> out, int timeout_ms) {
    if (out.empty()) return {};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int ready = wait_for(fd_, POLLIN, deadline);
        if (ready == 0) return {};
        if (ready < 0) return {0, {errno, std::generic_category()}};
        const ssize_t n = ::read(fd_, out.data(), out.size());
        if (n > 0) return {static_cast<size_t>(n), {}};
        if (n < 0 && errno != EAGAIN && errno != EINTR) return {0, {errno, std::generic_category()}};
        // A raw line reads 0 bytes when none are there; with a hang-up that is for good.
        if (ready & (POLLHUP | POLLERR | POLLNVAL)) return {0, std::make_error_code(std::errc::broken_pipe)};
    }
}

LineRead SerialLine::read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) {
    int waiting = 0;
    if (out.empty() || byte_time_.count() == 0 || ioctl(fd_, FIONREAD, &waiting) != 0)
        return read_some(out, timeout_ms);
    const size_t wanted = std::min(expected, out.size());
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeout_ms);
    if (static_cast<size_t>(std::max(waiting, 0)) < wanted) {
        const auto still_to_come = static_cast<long>(wanted - static_cast<size_t>(waiting));
        std::this_thread::sleep_until(std::min(deadline, start + byte_time_ * (still_to_come + kFifoIdleBytes) + kWakeSlack));
    }
    // Whatever came by now, or the first bytes within what is left of the time-out.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return read_some(out, left > 0 ? static_cast<int>(left) : 0);
}

bool is_supported_baud_rate(int baud_rate) { return speed_of(baud_rate) != B0; }

std::vector<int> supported_baud_rates() {
    std::vector<int> rates;
    for (const auto& r : kRates) rates.push_back(r.baud);
    return rates;
}

int SerialLine::current_baud_rate() const {
    termios tio{};
    if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return 0;
    return baud_of(cfgetispeed(&tio));
}

PtyPair open_pty_pair() {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw line_error(errno, "/dev/ptmx", "cannot open a pseudo-terminal");
    SerialLine master(fd, "/dev/ptmx");  // closes the descriptor if a step below fails
    char slave[128];
    termios tio{};
    const int flags = fcntl(fd, F_GETFL);
    bool prepared = grantpt(fd) == 0 && unlockpt(fd) == 0 && ptsname_r(fd, slave, sizeof slave) == 0 && flags >= 0 &&
                    fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && tcgetattr(fd, &tio) == 0;
    if (prepared) {
        // Termios set through the master are the pair's: raw from the start, so
        // a simulator sees bytes unchanged before the host configures its end.
        make_raw(tio);
        prepared = tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    if (!prepared) throw line_error(errno, "/dev/ptmx", "cannot prepare a pseudo-terminal pair");
    return {std::move(master), slave};
}
