// The serial line over a pseudo-terminal pair: every byte value passes
// unchanged both ways, nothing is echoed or added, reads time out, and a port
// that cannot be used is named in the error.
#include <termios.h>

#include <chrono>
#include <numeric>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/line/serial_line.h"

namespace {

using namespace std::chrono_literals;

// Reads until `count` bytes came or `timeout_ms` passed without more.
std::vector<uint8_t> read_up_to(SerialLine& line, size_t count, int timeout_ms) {
    std::vector<uint8_t> got;
    uint8_t buf[64];
    while (got.size() < count) {
        const LineRead r = line.read_some(buf, timeout_ms);
        if (r.error || r.count == 0) break;
        got.insert(got.end(), buf, buf + r.count);
    }
    return got;
}

// The port starts cooked, as a previous user may leave it: opening it must
// turn off echo, line editing and CR/LF translation.
TEST(SerialLine, EveryByteValuePassesUnchangedBothWays) {
    PtyPair pty = open_pty_pair();
    termios cooked{};
    ASSERT_EQ(tcgetattr(pty.master.fd(), &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ECHO | ICANON | ISIG;
    ASSERT_EQ(tcsetattr(pty.master.fd(), TCSANOW, &cooked), 0);
    SerialLine host(pty.slave_path, 9600);
    std::vector<uint8_t> all(256);
    std::iota(all.begin(), all.end(), 0);

    struct Way {
        const char* name;
        SerialLine& from;
        SerialLine& to;
    } ways[] = {{"host to device", host, pty.master}, {"device to host", pty.master, host}};
    for (const auto& w : ways) {
        ASSERT_FALSE(w.from.write_all(all)) << w.name;
        // One byte more than sent would show a CR added before LF.
        EXPECT_EQ(read_up_to(w.to, all.size() + 1, 100), all) << w.name;
        EXPECT_TRUE(read_up_to(w.from, 1, 50).empty()) << w.name << ": echoed";
    }
}

TEST(SerialLine, ReadWaitsForItsTimeoutWhenNothingComes) {
    PtyPair pty = open_pty_pair();
    SerialLine host(pty.slave_path, 115200);
    uint8_t buf[8];
    const auto start = std::chrono::steady_clock::now();
    const LineRead r = host.read_some(buf, 100);
    EXPECT_EQ(r.count, 0u);
    EXPECT_FALSE(r.error);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
}

// A frame's rest arriving in FIFO chunks at 9600 baud: a read that knows how
// much is to come sleeps through it instead of waking once a chunk; one that
// expects more than ever comes returns what came, at its time-out.
TEST(SerialLine, AReadOfTheExpectedRestSleepsThroughItsWireTime) {
    using Steady = std::chrono::steady_clock;
    PtyPair pty = open_pty_pair();
    SerialLine host(pty.slave_path, 9600);
    constexpr size_t kRest = 96;
    constexpr auto kByteTime = std::chrono::nanoseconds(1'041'666);
    std::thread device([&] {
        const std::vector<uint8_t> chunk(16, 'A');
        auto due = Steady::now();
        for (size_t sent = 0; sent < kRest; sent += chunk.size()) {
            due += kByteTime * chunk.size();
            std::this_thread::sleep_until(due);
            pty.master.write_all(chunk);
        }
    });
    std::vector<uint8_t> got;
    unsigned reads = 0;
    uint8_t buf[256];
    while (got.size() < kRest) {
        const LineRead r = host.read_expected(buf, kRest - got.size(), 2000);
        ++reads;
        if (r.error || r.count == 0) break;
        got.insert(got.end(), buf, buf + r.count);
    }
    device.join();
    EXPECT_EQ(got.size(), kRest);
    EXPECT_LE(reads, 3u) << "six chunks, woken for each";  // a late chunk costs a read more

    ASSERT_FALSE(pty.master.write_all(std::vector<uint8_t>(10, 'B')));
    const auto start = Steady::now();
    const LineRead part = host.read_expected(buf, kRest, 40);  // 96 bytes would take 100 ms
    EXPECT_EQ(part.count, 10u);
    EXPECT_FALSE(part.error);
    EXPECT_GE(Steady::now() - start, 40ms);
}

TEST(SerialLine, ReadReportsAnErrorOnceTheFarEndHangsUp) {
    std::string slave;
    std::optional<SerialLine> host;
    {
        PtyPair pty = open_pty_pair();
        slave = pty.slave_path;
        host.emplace(slave, 9600);
    }
    uint8_t buf[8];
    EXPECT_TRUE(host->read_some(buf, 1000).error);
}

TEST(SerialLine, PortsThatCannotBeUsedAreNamed) {
    PtyPair pty = open_pty_pair();
    struct Case {
        std::string path;
        int baud;
        std::string message;
    } cases[] = {
        {"/nonexistent/ttyS9", 9600, "serial line /nonexistent/ttyS9: cannot open"},
        {"/dev/null", 9600, "serial line /dev/null: cannot configure raw 8N1 at 9600 baud"},
        {pty.slave_path, 12345, "serial line " + pty.slave_path + ": unsupported baud rate 12345"},
    };
    for (const auto& c : cases) {
        try {
            SerialLine line(c.path, c.baud);
            ADD_FAILURE() << c.path << " opened";
        } catch (const std::system_error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message);
        }
    }
}

}  // namespace
