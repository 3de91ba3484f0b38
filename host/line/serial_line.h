#pragma once
// The host's serial lines: a byte line interface the line exchange talks to,
// a termios line over a file descriptor, and pseudo-terminal pairs for the
// simulator and tests.
//
// Failures: opening or configuring a line throws std::system_error whose
// what() names the path and the step that failed. Reads and writes on an open
// line report by their result (std::error_code), never by throwing.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

struct LineRead {
    size_t count = 0;      // bytes read; 0 without error: nothing came in time
    std::error_code error;  // the line failed (e.g. the other end hung up)
};

// What the line exchange needs of a line.
class ByteLine {
public:
    virtual ~ByteLine() = default;
    // Writes every byte, or returns why it could not (some may have gone out).
    virtual std::error_code write_all(std::span<const uint8_t> bytes) = 0;
    // Waits up to `timeout_ms` for input and reads what is there, at most
    // out.size() bytes. Returns a count of 0 only once `timeout_ms` has passed.
    virtual LineRead read_some(std::span<uint8_t> out, int timeout_ms) = 0;
    // read_some for a caller that knows `expected` more bytes are on their way
    // (the rest of a frame whose length it has read): a line that knows its
    // rate waits for their time on the wire instead of waking for each byte.
    // It still returns no later than `timeout_ms`, with whatever came by then.
    virtual LineRead read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) {
        (void)expected;
        return read_some(out, timeout_ms);
    }
    // Sleeps until `until` without looking at the line: for a caller that
    // knows nothing it waits for can be whole before then (an answer's usual
    // time), so that one wake-up finds all of it.
    virtual void pause_until(std::chrono::steady_clock::time_point until) { std::this_thread::sleep_until(until); }
};

class SerialLine final : public ByteLine {
public:
    // Opens `path` (a serial device or a pseudo-terminal) raw: 8 data bits,
    // no parity, 1 stop bit, no flow control, no echo, no CR/LF translation,
    // at `baud_rate` (a standard rate from 50 to 4000000). Throws
    // std::system_error naming the path when it cannot be opened or configured
    // (an unsupported rate: std::errc::invalid_argument).
    SerialLine(const std::string& path, int baud_rate);
    // Takes ownership of an open descriptor as it is; `name` is used in messages.
    SerialLine(int fd, std::string name);
    SerialLine(SerialLine&& other) noexcept;
    SerialLine& operator=(SerialLine&& other) noexcept;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;
    ~SerialLine() override;

    std::error_code write_all(std::span<const uint8_t> bytes) override;
    LineRead read_some(std::span<uint8_t> out, int timeout_ms) override;
    // Sleeps for the wire time of the expected bytes not yet in the driver's
    // buffer (at the rate the line was opened with, plus a margin for the
    // UART's receive time-out), then reads. Without a known rate: read_some.
    LineRead read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) override;
    int fd() const { return fd_; }
    // The input rate the terminal is set to now, whichever end set it (on a
    // pseudo-terminal's far end: what the host chose); 0 when it is unknown.
    int current_baud_rate() const;
    const std::string& path() const { return path_; }

    // How long a write may wait for the line to take more bytes.
    int write_timeout_ms = 2000;

private:
    void close_fd();

    int fd_ = -1;
    std::string path_;
    std::chrono::nanoseconds byte_time_{0};  // 10 bit times at the rate opened with; 0: unknown
};

// Whether a serial port can be set to `baud_rate` (the standard rates from 50 to 4000000).
bool is_supported_baud_rate(int baud_rate);
// Those rates, from the slowest.
std::vector<int> supported_baud_rates();

// A pseudo-terminal pair: `master` is the far end (what a simulated device
// reads and writes); the host opens `slave_path` as its serial port. The pair
// starts raw. While no one has `slave_path` open, reads on `master` fail
// (hang-up). Throws std::system_error when no pair can be made.
struct PtyPair {
    SerialLine master;
    std::string slave_path;
};
PtyPair open_pty_pair();
