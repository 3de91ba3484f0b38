// A master's exchange on its line: commands go out as frames, valid answers
// reach process_payload() and nothing else does, and every exchange ends
// exactly once with one outcome.
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/line/line_exchange.h"
#include "tests/support/fake_line.h"
#include "tests/support/recording_controller.h"

namespace {

using frame::Error;

constexpr std::string_view kAcCommand = "~200140420000FDB3\r";  // sum 0x24D
constexpr std::string_view kRcCommand = "~200141420000FDB2\r";  // sum 0x24E
constexpr std::string_view kAcAnswer = "~20014000C0041102FCDE\r";  // INFO 11 02, sum 0x322
constexpr std::string_view kRcAnswer = "~20014100C0041102FCDD\r";  // sum 0x323
constexpr std::string_view kBadChecksum = "~20014000C0041102FCDF\r";
constexpr std::string_view kRefusal = "~20014004C0041102FCDA\r";    // RTN 04, sum 0x326
constexpr std::string_view kOtherAdr = "~20024000C0041102FCDD\r";   // ADR 02, sum 0x323

// What the master does with each answer, in turn.
enum class Then { send_rc, end, refuse };

struct ScriptedMaster : PMBusProtocol {
    bool LoadFromCache(const uint8_t*, int) override { return false; }
    int process_payload() override {
        const unsigned info_chars = rx_frame[4] | rx_frame[5] << 8;
        seen.emplace_back(rx_frame, rx_frame + 6 + info_chars / 2);
        const Then then = script.empty() ? Then::refuse : script.front();
        if (!script.empty()) script.pop_front();
        if (then == Then::send_rc) write_pmbus_cmd(0x41, 0x42);
        if (then != Then::end) return 1;
        Reset();
        return 0;
    }
    std::deque<Then> script;
    std::vector<std::vector<uint8_t>> seen;
};

// The host's controller: a master's commands go to its line exchange.
struct LineController : RecordingController {
    void send_command(PMBusProtocol& d, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) override {
        RecordingController::send_command(d, cid1, cid2, info);
        exchange->submit(cid1, cid2, info);
    }
    LineExchange* exchange = nullptr;
};

template <class Line>
struct ExchangeRig {
    explicit ExchangeRig(std::deque<Then> script) {
        controller->exchange = &exchange;
        master->controller = controller;
        master->script = std::move(script);
    }
    Line line;
    std::vector<std::string> logs;
    std::vector<FailedAttempt> failed;
    LineExchange exchange{line, [this](std::string_view t) { logs.emplace_back(t); },
                          [this](const FailedAttempt& f) { failed.push_back(f); }};
    std::shared_ptr<LineController> controller = std::make_shared<LineController>();
    std::shared_ptr<ScriptedMaster> master = std::make_shared<ScriptedMaster>();
};

const std::vector<uint8_t> kAcDecoded = {0x20, 0x01, 0x40, 0x00, 0x04, 0x00, 0x11, 0x02};

TEST(LineExchange, CommandsFollowAnswersUntilTheMasterEndsTheExchange) {
    ExchangeRig<FakeLine> rig({Then::send_rc, Then::end});
    rig.line.peer = [](FakeLine& l, const std::string& w) { l.queue(w == kAcCommand ? kAcAnswer : kRcAnswer); };
    rig.master->write_pmbus_cmd(0x40, 0x42);
    EXPECT_EQ(rig.exchange.run(*rig.master), ExchangeEnd::answered);
    EXPECT_EQ(rig.line.writes, (std::vector<std::string>{std::string(kAcCommand), std::string(kRcCommand)}));
    ASSERT_EQ(rig.master->seen.size(), 2u);
    EXPECT_EQ(rig.master->seen[0], kAcDecoded);
    EXPECT_EQ(rig.master->seen[1][2], 0x41);
    EXPECT_EQ(rig.exchange.counters().commands_sent, 2u);
    EXPECT_EQ(rig.exchange.counters().answers, 2u);
    EXPECT_EQ(rig.controller->exchanges_ended(), 1u);
    EXPECT_TRUE(rig.logs.empty());
}

// What the line delivers after each sending of the AC command, and how the
// exchange must end. Whatever happens, the exchange ends once (one Reset),
// the master is idle, and it never sees more than the one accepted answer.
TEST(LineExchange, EachLineBehaviourEndsTheExchangeOnce) {
    const std::string ac(kAcAnswer);
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        Then then;
        ExchangeEnd end;
        size_t seen;
        size_t writes;  // the command's attempts
        std::vector<Error> rejected;
        unsigned unsolicited = 0;
        uint64_t noise_bytes = 0;
    } cases[] = {
        {"answer in one read", {ac}, Then::end, ExchangeEnd::answered, 1, 1, {}},
        {"answer in three reads", {ac.substr(0, 3), ac.substr(3, 12), ac.substr(15)}, Then::end, ExchangeEnd::answered, 1,
         1, {}},
        {"noise and a bad frame first", {"\xFF\xFF", std::string(kBadChecksum) + ac}, Then::end, ExchangeEnd::answered, 1,
         1, {Error::checksum}, 0, 2},
        {"the answer twice in one read", {ac + ac}, Then::end, ExchangeEnd::answered, 1, 1, {}, 1},
        {"silence", {}, Then::end, ExchangeEnd::timed_out, 0, 3, {}},
        {"only a bad frame", {std::string(kBadChecksum)}, Then::end, ExchangeEnd::rejected, 0, 3,
         {Error::checksum, Error::checksum, Error::checksum}},
        {"equipment refusal", {std::string(kRefusal)}, Then::end, ExchangeEnd::rejected, 0, 3,
         {Error::equipment_refused, Error::equipment_refused, Error::equipment_refused}},
        {"another address", {std::string(kOtherAdr)}, Then::end, ExchangeEnd::rejected, 0, 3,
         {Error::wrong_address, Error::wrong_address, Error::wrong_address}},
        {"another command group", {std::string(kRcAnswer)}, Then::end, ExchangeEnd::rejected, 0, 3,
         {Error::wrong_command, Error::wrong_command, Error::wrong_command}},
        {"master refuses the answer", {ac}, Then::refuse, ExchangeEnd::refused, 1, 1, {}},
    };
    for (const auto& c : cases) {
        ExchangeRig<FakeLine> rig({c.then});
        rig.line.peer = [&](FakeLine& l, const std::string&) {
            for (const auto& chunk : c.chunks) l.queue(chunk);
        };
        rig.master->write_pmbus_cmd(0x40, 0x42);
        EXPECT_EQ(rig.exchange.run(*rig.master), c.end) << c.name;
        EXPECT_EQ(rig.master->seen.size(), c.seen) << c.name;
        EXPECT_EQ(rig.line.writes, std::vector<std::string>(c.writes, std::string(kAcCommand))) << c.name;
        const auto& n = rig.exchange.counters();
        for (size_t e = 0; e < frame::kErrorKinds; ++e)
            EXPECT_EQ(n.rejected[e], std::count(c.rejected.begin(), c.rejected.end(), Error(e))) << c.name << " " << e;
        EXPECT_EQ(n.unsolicited, c.unsolicited) << c.name;
        EXPECT_EQ(n.noise_bytes, c.noise_bytes) << c.name;
        EXPECT_EQ(n.retries, c.writes - 1) << c.name;
        EXPECT_EQ(n.exchanges(c.end), 1u) << c.name;
        EXPECT_EQ(rig.controller->exchanges_ended(), 1u) << c.name;
        EXPECT_EQ(rig.master->sp_state, 0u) << c.name;
        const bool line_fault = c.end == ExchangeEnd::timed_out || c.end == ExchangeEnd::rejected;
        EXPECT_EQ(rig.master->line_errors, line_fault ? 1u : 0u) << c.name;
        EXPECT_EQ(rig.failed.size(), c.writes - c.seen) << c.name;
        for (size_t i = 0; i < rig.failed.size(); ++i) {
            EXPECT_EQ(rig.failed[i].attempt, i + 1) << c.name;
            EXPECT_EQ(rig.failed[i].will_retry, i + 1 < c.writes) << c.name;
            EXPECT_EQ(rig.failed[i].why, c.rejected.empty() ? AttemptFailure::no_answer : AttemptFailure::rejected)
                << c.name;
        }
        EXPECT_EQ(rig.logs.size(), c.unsolicited + (c.end == ExchangeEnd::refused)) << c.name;
    }
}

// Mid-answer the exchange tells the line how much is still to come, so a line
// that knows its rate can sleep through it: the fewest a frame can hold until
// LENGTH has come, then what LENID says. Between frames it asks for nothing.
TEST(LineExchange, TheLineIsToldHowMuchOfTheAnswerIsStillToCome) {
    const std::string ac(kAcAnswer);  // 22 bytes, LENID 4
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<size_t> expected;
    } cases[] = {
        {"whole", {ac}, {}},
        {"SOI alone, then the rest", {ac.substr(0, 1), ac.substr(1)}, {17}},
        {"header in two, then the rest", {ac.substr(0, 5), ac.substr(5, 8), ac.substr(13)}, {13, 9}},
        {"all but EOI", {ac.substr(0, 21), ac.substr(21)}, {}},  // one byte left: an ordinary read
        {"noise first", {"\xFF\xFF", ac.substr(0, 13), ac.substr(13)}, {9}},
    };
    for (const auto& c : cases) {
        ExchangeRig<FakeLine> rig({Then::end});
        rig.line.peer = [&](FakeLine& l, const std::string&) {
            for (const auto& chunk : c.chunks) l.queue(chunk);
        };
        rig.master->write_pmbus_cmd(0x40, 0x42);
        EXPECT_EQ(rig.exchange.run(*rig.master), ExchangeEnd::answered) << c.name;
        EXPECT_EQ(rig.line.expected_reads, c.expected) << c.name;
    }
}

// One damaged answer costs one retry of the same command, not the exchange.
TEST(LineExchange, ADamagedAnswerIsRetriedAndOnlyTheGoodOneReachesTheMaster) {
    ExchangeRig<FakeLine> rig({Then::send_rc, Then::end});
    rig.line.peer = [](FakeLine& l, const std::string& w) {
        if (w == kRcCommand) return l.queue(kRcAnswer);
        l.queue(l.writes.size() == 1 ? kBadChecksum : kAcAnswer);
    };
    rig.exchange.set_retries(1);
    rig.master->write_pmbus_cmd(0x40, 0x42);
    EXPECT_EQ(rig.exchange.run(*rig.master), ExchangeEnd::answered);
    EXPECT_EQ(rig.line.writes, (std::vector<std::string>{std::string(kAcCommand), std::string(kAcCommand),
                                                         std::string(kRcCommand)}));
    ASSERT_EQ(rig.master->seen.size(), 2u);
    EXPECT_EQ(rig.master->seen[0], kAcDecoded);
    ASSERT_EQ(rig.failed.size(), 1u);
    EXPECT_EQ(rig.failed[0].rejection.reason, Error::checksum);
    EXPECT_TRUE(rig.failed[0].will_retry);
    const CommandCounters& ac = rig.exchange.counters().commands.at(0x4042);
    EXPECT_EQ(ac.sent, 2u);
    EXPECT_EQ(ac.retried, 1u);
    EXPECT_EQ(ac.answered, 1u);
    EXPECT_EQ(ac.rejected[static_cast<size_t>(Error::checksum)], 1u);
    EXPECT_EQ(rig.exchange.counters().commands.at(0x4142).retried, 0u);
}

TEST(LineExchange, AnswersWithNoCommandOutstandingNeverReachTheMaster) {
    ExchangeRig<FakeLine> rig({Then::end});
    rig.line.queue(kRcAnswer);  // late, from an exchange already over
    rig.exchange.drain();
    EXPECT_EQ(rig.exchange.counters().unsolicited, 1u);

    rig.line.queue(kRcAnswer);  // still there when the next command goes out
    rig.line.peer = [](FakeLine& l, const std::string&) { l.queue(kAcAnswer); };
    rig.master->write_pmbus_cmd(0x40, 0x42);
    EXPECT_EQ(rig.exchange.run(*rig.master), ExchangeEnd::answered);
    ASSERT_EQ(rig.master->seen.size(), 1u);
    EXPECT_EQ(rig.master->seen[0], kAcDecoded);
    EXPECT_EQ(rig.exchange.counters().unsolicited, 2u);
}

// Failures before any answer: the command cannot go out, or the line fails.
TEST(LineExchange, LineFailuresEndTheExchange) {
    const auto io_error = std::make_error_code(std::errc::io_error);
    struct Case {
        const char* name;
        std::optional<size_t> info_bytes;  // the command submitted, if any
        std::error_code write_error, read_error;
        ExchangeEnd end;
        unsigned sent;
    } cases[] = {
        {"nothing submitted", std::nullopt, {}, {}, ExchangeEnd::not_sent, 0},
        {"INFO too long to frame", frame::kMaxInfoBytes + 1, {}, {}, ExchangeEnd::not_sent, 0},
        {"line refuses the write", 0, io_error, {}, ExchangeEnd::line_failed, 0},
        {"line fails while waiting", 0, {}, io_error, ExchangeEnd::line_failed, 1},
    };
    for (const auto& c : cases) {
        ExchangeRig<FakeLine> rig({});
        rig.line.write_error = c.write_error;
        rig.line.read_error = c.read_error;
        const std::vector<uint8_t> info(c.info_bytes.value_or(0), 0x01);
        if (c.info_bytes) rig.master->write_pmbus_cmd(0x40, 0x42, info.data(), static_cast<int>(info.size()));
        EXPECT_EQ(rig.exchange.run(*rig.master), c.end) << c.name;
        EXPECT_EQ(rig.exchange.counters().commands_sent, c.sent) << c.name;  // a failed line is not retried
        EXPECT_EQ(rig.master->line_errors, c.end == ExchangeEnd::line_failed ? 1u : 0u) << c.name;
        EXPECT_EQ(rig.controller->exchanges_ended(), 1u) << c.name;
    }
}

// End to end over a pseudo-terminal: a device on the far end answers; a
// second command meets silence and times out on the clock.
TEST(LineExchange, RunsOverAPseudoTerminal) {
    PtyPair pty = open_pty_pair();
    SerialLine host(pty.slave_path, 9600);
    LineExchange exchange(host);
    auto controller = std::make_shared<LineController>();
    auto master = std::make_shared<ScriptedMaster>();
    controller->exchange = &exchange;
    master->controller = controller;
    master->script = {Then::end};
    master->answer_timeout_ms = 2000;

    std::string command;
    std::thread device([&] {
        uint8_t buf[64];
        while (command.empty() || command.back() != '\r') {
            const LineRead r = pty.master.read_some(buf, 2000);
            if (r.error || r.count == 0) return;
            command.append(buf, buf + r.count);
        }
        (void)pty.master.write_all({reinterpret_cast<const uint8_t*>(kAcAnswer.data()), kAcAnswer.size()});
    });
    master->write_pmbus_cmd(0x40, 0x42);
    EXPECT_EQ(exchange.run(*master), ExchangeEnd::answered);
    device.join();
    EXPECT_EQ(command, kAcCommand);
    ASSERT_EQ(master->seen.size(), 1u);
    EXPECT_EQ(master->seen[0], kAcDecoded);

    master->answer_timeout_ms = 50;
    exchange.set_retries(1);
    master->write_pmbus_cmd(0x41, 0x42);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange.run(*master), ExchangeEnd::timed_out);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * 45));
}

// Shutting down must not wait out a long time-out on a slow line: a stop flag
// ends the exchange, in the middle of an answer or before a command, with
// nothing more sent, no line fault reported and the exchange usable again.
TEST(LineExchange, AStopFlagEndsTheExchangeInProgressSoon) {
    struct Case {
        const char* name;
        bool stop_before_run;
        size_t answer_bytes_sent;  // of the AC answer, before the device goes quiet
    };
    for (const Case c : {Case{"stop while half an answer has come", false, kAcAnswer.size() / 2},
                         Case{"stop while nothing has come", false, 0}, Case{"stop before the run", true, 0}}) {
        PtyPair pty = open_pty_pair();
        SerialLine host(pty.slave_path, 9600);
        std::atomic<bool> stop{c.stop_before_run};
        LineExchange exchange(host);
        exchange.watch_stop(stop);
        auto controller = std::make_shared<LineController>();
        auto master = std::make_shared<ScriptedMaster>();
        controller->exchange = &exchange;
        master->controller = controller;
        master->script = {Then::end};
        master->answer_timeout_ms = 10'000;

        std::string written;
        std::thread device([&] {
            uint8_t buf[64];
            for (LineRead r; !c.stop_before_run && (r = pty.master.read_some(buf, 2000)).count > 0;) {
                written.append(buf, buf + r.count);
                if (written.back() == '\r') break;
            }
            if (c.answer_bytes_sent)
                (void)pty.master.write_all({reinterpret_cast<const uint8_t*>(kAcAnswer.data()), c.answer_bytes_sent});
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop = true;
        });
        master->write_pmbus_cmd(0x40, 0x42);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(exchange.run(*master), ExchangeEnd::stopped) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
        device.join();
        EXPECT_EQ(written, c.stop_before_run ? "" : std::string(kAcCommand)) << c.name;
        EXPECT_TRUE(master->seen.empty()) << c.name;
        EXPECT_EQ(master->line_errors, 0u) << c.name;
        EXPECT_EQ(exchange.counters().exchanges(ExchangeEnd::stopped), 1u) << c.name;
        EXPECT_FALSE(exchange.has_pending()) << c.name;

        // Cleared, the flag stops nothing: the next exchange is answered.
        stop = false;
        std::thread answerer([&] {
            uint8_t buf[64];
            std::string command;
            for (LineRead r; (r = pty.master.read_some(buf, 2000)).count > 0;) {
                command.append(buf, buf + r.count);
                if (command.back() == '\r') break;
            }
            (void)pty.master.write_all({reinterpret_cast<const uint8_t*>(kAcAnswer.data()), kAcAnswer.size()});
        });
        master->script = {Then::end};
        master->write_pmbus_cmd(0x40, 0x42);
        EXPECT_EQ(exchange.run(*master), ExchangeEnd::answered) << c.name;
        answerer.join();
    }
}

// A line that counts how the exchange waits on it after a command went out
// (the drain before it aside), over a real pseudo-terminal.
struct CountingLine final : ByteLine {
    explicit CountingLine(SerialLine& line) : inner(line) {}
    std::error_code write_all(std::span<const uint8_t> bytes) override {
        reads = pauses = 0;
        return inner.write_all(bytes);
    }
    LineRead read_some(std::span<uint8_t> out, int timeout_ms) override {
        ++reads;
        return inner.read_some(out, timeout_ms);
    }
    LineRead read_expected(std::span<uint8_t> out, size_t expected, int timeout_ms) override {
        ++reads;
        return inner.read_expected(out, expected, timeout_ms);
    }
    void pause_until(std::chrono::steady_clock::time_point until) override {
        ++pauses;
        inner.pause_until(until);
    }
    SerialLine& inner;
    unsigned reads = 0;
    unsigned pauses = 0;
};

// Once a command's answer has come, the next attempt sleeps through its usual
// time and finds all of it in one look, instead of waking for its first part
// and again for the rest; the time-out stays whole when no answer comes.
TEST(LineExchange, AnAnswerOfItsUsualTimeIsFoundWholeInOneLook) {
    PtyPair pty = open_pty_pair();
    SerialLine serial(pty.slave_path, 9600);
    CountingLine line(serial);
    LineExchange exchange(line);
    exchange.set_retries(0);
    auto controller = std::make_shared<LineController>();
    auto master = std::make_shared<ScriptedMaster>();
    controller->exchange = &exchange;
    master->controller = controller;
    master->answer_timeout_ms = 400;

    std::thread device([&] {
        uint8_t buf[64];
        const auto answer = [&](size_t from, size_t to) {
            (void)pty.master.write_all({reinterpret_cast<const uint8_t*>(kAcAnswer.data()) + from, to - from});
        };
        for (int exchange_no = 0; exchange_no < 3; ++exchange_no) {
            std::string command;
            for (LineRead r; command.empty() || command.back() != '\r';) {
                if ((r = pty.master.read_some(buf, 2000)).count == 0) return;
                command.append(buf, buf + r.count);
            }
            if (exchange_no == 0) {  // slow, in two parts, the first without the LENGTH field
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                answer(0, 8);
                std::this_thread::sleep_for(std::chrono::milliseconds(80));
                answer(8, kAcAnswer.size());
            } else {  // soon, whole
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                answer(0, kAcAnswer.size());
            }
        }
    });
    struct Seen {
        unsigned reads, pauses;
    };
    std::vector<Seen> seen;
    for (int i = 0; i < 3; ++i) {
        master->script = {Then::end};
        master->write_pmbus_cmd(0x40, 0x42);
        EXPECT_EQ(exchange.run(*master), ExchangeEnd::answered) << "exchange " << i;
        seen.push_back({line.reads, line.pauses});
    }
    device.join();
    ASSERT_EQ(master->seen.size(), 3u);
    EXPECT_EQ(seen[0].pauses, 0u);
    EXPECT_GE(seen[0].reads, 2u);
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(seen[i].pauses, 1u) << "exchange " << i;
        EXPECT_EQ(seen[i].reads, 1u) << "exchange " << i;
    }

    // Nothing answers now: the attempt still waits out its whole time-out.
    master->script = {Then::end};
    master->write_pmbus_cmd(0x40, 0x42);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange.run(*master), ExchangeEnd::timed_out);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

}  // namespace
