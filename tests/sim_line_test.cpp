// The simulated line: answer bytes come no faster than the line rate allows
// and after the answer delay, reads honour their time-out, and a real "voka"
// master run through the host's line exchange ends up with the scenario's
// values, round after round, faults included.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/line/frame_codec.h"
#include "simulator/paced_output.h"
#include "simulator/simulated_line.h"
#include "tests/support/sim_host.h"
#include "tests/support/sim_wire.h"

namespace {

using namespace std::chrono_literals;
using Clock = sim::PacedOutput::Clock;

// Takes what is due at `at` and returns how many bytes that was.
size_t take_at(sim::PacedOutput& out, Clock::time_point at) {
    uint8_t buf[64];
    return out.take(buf, at);
}

TEST(SimPacedOutput, EachByteTakesTenBitTimesAndAnswersQueueBehindEachOther) {
    sim::PacedOutput out(9600, true, 1);  // byte by byte
    const auto bt = out.byte_time();
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(bt).count(), 1'041'666);  // 10 / 9600 s
    const Clock::time_point t0{};
    const std::vector<uint8_t> five = {1, 2, 3, 4, 5};
    out.push(five, t0);
    out.push(std::vector<uint8_t>{6, 7}, t0);  // ready at once, but goes after the first answer
    struct Step {
        Clock::duration at;
        size_t taken;
    };
    const std::vector<Step> steps = {
        {0ns, 0}, {bt - 1ns, 0}, {bt, 1}, {3 * bt, 2}, {5 * bt, 2}, {6 * bt - 1ns, 0}, {6 * bt, 1}, {100 * bt, 1},
    };
    for (const Step& s : steps) EXPECT_EQ(take_at(out, t0 + s.at), s.taken) << s.at.count();
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(out.next_due().has_value());

    // An answer ready after the line fell idle starts at its own time.
    out.push(five, t0 + 1s);
    EXPECT_EQ(out.next_due(), t0 + 1s + bt);
    EXPECT_EQ(take_at(out, t0 + 1s + 5 * bt), 5u);
}

// As a UART's FIFO delivers them: each chunk of 16 is due when its last byte
// has crossed, an answer's short last chunk when its own last byte has.
TEST(SimPacedOutput, BytesComeInFifoChunksDueWhenTheirLastByteHasCrossed) {
    sim::PacedOutput out(9600, true);
    const auto bt = out.byte_time();
    const Clock::time_point t0{};
    out.push(std::vector<uint8_t>(40, 0xAA), t0);
    out.push(std::vector<uint8_t>(5, 0xBB), t0);  // starts once the 40 have gone
    EXPECT_EQ(out.due_of_first(1), t0 + 16 * bt);
    EXPECT_EQ(out.due_of_first(17), t0 + 32 * bt);
    EXPECT_EQ(out.due_of_first(40), t0 + 40 * bt);
    EXPECT_EQ(out.due_of_first(41), t0 + 45 * bt);
    EXPECT_EQ(out.due_of_first(1000), t0 + 45 * bt);  // all that is queued
    struct Step {
        Clock::duration at;
        size_t taken;
    };
    const std::vector<Step> steps = {
        {16 * bt - 1ns, 0}, {16 * bt, 16}, {32 * bt - 1ns, 0}, {32 * bt, 16},
        {40 * bt - 1ns, 0}, {40 * bt, 8},  {45 * bt - 1ns, 0}, {45 * bt, 5},
    };
    for (const Step& s : steps) EXPECT_EQ(take_at(out, t0 + s.at), s.taken) << s.at.count();
    EXPECT_FALSE(out.due_of_first(1).has_value());
    EXPECT_THROW(sim::PacedOutput(9600, true, 0), std::invalid_argument);
}

TEST(SimPacedOutput, UnpacedBytesAreDueWhenTheirAnswerIsReadyAndClearDropsThem) {
    sim::PacedOutput out(9600, false);
    EXPECT_EQ(out.byte_time(), Clock::duration::zero());
    const Clock::time_point t0{};
    out.push(std::vector<uint8_t>(100, 0x55), t0 + 10ms);
    EXPECT_EQ(take_at(out, t0 + 10ms - 1ns), 0u);
    EXPECT_EQ(take_at(out, t0 + 10ms), 64u);  // as many as fit
    out.clear();
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(take_at(out, t0 + 1h), 0u);
}

sim::Scenario scenario(const std::string& json) { return sim::parse_scenario(json, "t.json"); }

// Reads until one frame is decoded, or nothing came within 2 s; the bytes read.
std::vector<uint8_t> read_answer(ByteLine& line) {
    std::vector<uint8_t> got;
    uint8_t buf[256];
    while (decode_answers(got).frames.empty()) {
        const LineRead r = line.read_some(buf, 2000);
        if (r.error || r.count == 0) break;
        got.insert(got.end(), buf, buf + r.count);
    }
    return got;
}

TEST(SimLine, AReadWithNothingDueWaitsForItsTimeout) {
    for (const char* json : {R"({"equipment": {"answer_delay_ms": 200}})", R"({"faults": [{"kind": "no_answer"}]})"}) {
        sim::SimulatedLine line(scenario(json));
        EXPECT_FALSE(line.write_all(command_frame(0x40, 0x42)));
        uint8_t buf[8];
        const auto start = Clock::now();
        // The answer is 200 ms away, or never comes.
        const LineRead r = line.read_some(buf, 30);
        EXPECT_EQ(r.count, 0u) << json;
        EXPECT_FALSE(r.error);
        EXPECT_GE(Clock::now() - start, 30ms) << json;
    }
}

// A command of C bytes and its answer of A bytes both cross the line: the
// answer is complete no sooner than (C + A) × 10 / baud seconds after the write.
TEST(SimLine, PacedAnswersComeNoFasterThanTheLineRate) {
    struct Case {
        int baud;
        int delay_ms;
    };
    for (const Case c : {Case{9600, 0}, Case{19200, 30}}) {
        sim::SimulatedLine line(scenario(R"({"equipment": {"baud_rate": )" + std::to_string(c.baud) +
                                         R"(, "answer_delay_ms": )" + std::to_string(c.delay_ms) + "}}"));
        const auto command = command_frame(0x40, 0x42);
        const auto start = Clock::now();
        ASSERT_FALSE(line.write_all(command));
        const auto got = read_answer(line);
        const auto elapsed = Clock::now() - start;
        ASSERT_EQ(decode_answers(got).frames.size(), 1u);
        const auto minimum = std::chrono::microseconds((command.size() + got.size()) * 10 * 1'000'000 / c.baud) +
                             std::chrono::milliseconds(c.delay_ms);
        EXPECT_GE(elapsed, minimum) << c.baud << " baud, " << got.size() << " bytes";
        EXPECT_EQ(line.round(), 1u);
    }
}

// A reader that says how much is still to come gets it in one read once it is
// all due, and no later than its time-out when it is not.
TEST(SimLine, AReadOfTheExpectedRestWakesOnceItIsAllThere) {
    sim::SimulatedLine line(scenario("{}"));
    const auto start = Clock::now();
    ASSERT_FALSE(line.write_all(command_frame(0x40, 0x42)));
    uint8_t buf[512];
    const LineRead head = line.read_some(buf, 2000);
    ASSERT_GE(head.count, sim::PacedOutput::kFifoBytes);  // one chunk, more when woken late
    frame::Decoder d;
    for (size_t i = 0; i < head.count; ++i) d.push(buf[i]);
    const size_t rest = d.bytes_to_frame_end();
    ASSERT_GT(rest, 0u);  // the answer is many chunks long
    const LineRead tail = line.read_expected(buf, rest, 2000);
    EXPECT_EQ(tail.count, rest);
    const auto whole = std::chrono::microseconds((head.count + rest) * 10 * 1'000'000 / 9600);
    EXPECT_GE(Clock::now() - start, whole);

    // More expected than ever comes: what came, at the time-out.
    ASSERT_FALSE(line.write_all(command_frame(0x40, 0x42)));
    const auto asked = Clock::now();
    const LineRead some = line.read_expected(buf, 400, 60);  // the command and 2 chunks have crossed by then
    EXPECT_GE(Clock::now() - asked, 60ms);
    EXPECT_GT(some.count, 0u);
    EXPECT_LT(some.count, 400u);
}

TEST(SimLine, UnpacedAnswersAreThereAtOnceUnlessDelayed) {
    sim::SimulatedLine line(scenario("{}"), false);
    ASSERT_FALSE(line.write_all(command_frame(0x40, 0x42)));
    uint8_t buf[256];
    const LineRead r = line.read_some(buf, 0);
    EXPECT_EQ(decode_answers({buf, r.count}).frames.size(), 1u);

    sim::SimulatedLine delayed(scenario(R"({"equipment": {"answer_delay_ms": 60}})"), false);
    const auto start = Clock::now();
    ASSERT_FALSE(delayed.write_all(command_frame(0x40, 0x42)));
    EXPECT_EQ(delayed.read_some(buf, 0).count, 0u);
    EXPECT_EQ(decode_answers(read_answer(delayed)).frames.size(), 1u);
    EXPECT_GE(Clock::now() - start, 60ms);
}

// The bundled example through the real master: values as the scenario gives
// them, the lost answer of round 3 and the damaged one of round 6 as the host
// sees them, and module 1's fault in rounds 5 to 8.
TEST(SimLine, AVokaMasterPollsTheExampleSiteRoundAfterRound) {
    auto example = sim::load_scenario(std::string(VOKA_SCENARIO_DIR) + "/example-site.json");
    example.equipment.answer_delay_ms = 0;  // no need to wait in a test
    sim::SimulatedLine line(std::move(example), false);
    LineHost host(line, 60);
    ASSERT_TRUE(host.configured);
    struct Round {
        ExchangeEnd end;
        uint8_t module1_fault;
        float module1_current;
    };
    const std::vector<Round> rounds = {
        {ExchangeEnd::answered, 0, 13.9f}, {ExchangeEnd::answered, 0, 13.9f}, {ExchangeEnd::timed_out, 0, 13.9f},
        {ExchangeEnd::answered, 0, 13.9f}, {ExchangeEnd::answered, 1, 0.0f},  {ExchangeEnd::rejected, 1, 0.0f},
        {ExchangeEnd::answered, 1, 0.0f},  {ExchangeEnd::answered, 1, 0.0f},  {ExchangeEnd::answered, 0, 13.9f},
    };
    for (size_t i = 0; i < rounds.size(); ++i) {
        EXPECT_EQ(host.run_round(), rounds[i].end) << "round " << i + 1;
        EXPECT_EQ(line.round(), i + 1);
        EXPECT_EQ(host.module_fault(1), rounds[i].module1_fault) << "round " << i + 1;
        EXPECT_NEAR(host.module_current(1), rounds[i].module1_current, 1e-4) << "round " << i + 1;
        if (i == 0) {
            EXPECT_FLOAT_EQ(host.ac("channel_0_a"), 231);
            EXPECT_FLOAT_EQ(host.ac("channel_0_b"), 229);
            EXPECT_NEAR(host.ac("channel_0_f"), 50.02, 1e-4);
            EXPECT_NEAR(host.ac("ia"), 12.4, 1e-4);
            EXPECT_NEAR(host.dc("v"), 53.6, 1e-4);
            EXPECT_NEAR(host.dc("i"), 41.2, 1e-4);
            EXPECT_NEAR(host.module_current(0), 14.2, 1e-4);
            EXPECT_NEAR(host.module_current(2), 14.1, 1e-4);
            EXPECT_NEAR(host.master->rc_device->record().dc_param[0], 57.5, 1e-4);
        }
    }
    const ExchangeCounters& c = host.exchange.counters();
    EXPECT_EQ(c.exchanges(ExchangeEnd::answered), 7u);
    EXPECT_EQ(c.exchanges(ExchangeEnd::timed_out), 1u);
    EXPECT_EQ(c.exchanges(ExchangeEnd::rejected), 1u);
    EXPECT_EQ(c.retries, 4u);  // each failed command was tried three times, all within its round
    EXPECT_EQ(c.rejections(frame::Error::checksum), 3u);  // round 6's DC analog answer, every attempt
    EXPECT_EQ(host.controller->published().size(), 3u * 7);
}

// Each fault kind on the first command of a round, as the host's exchange
// counts it: damaged and lost answers are retried within their round.
TEST(SimLine, TheHostCountsEachFaultAsItsOwnKindOfFailure) {
    sim::SimulatedLine line(sim::load_scenario(std::string(VOKA_SCENARIO_DIR) + "/every-fault.json"), false);
    LineHost host(line, 60);
    const std::vector<ExchangeEnd> ends = {
        ExchangeEnd::answered, ExchangeEnd::rejected, ExchangeEnd::timed_out, ExchangeEnd::answered,
        ExchangeEnd::answered, ExchangeEnd::rejected, ExchangeEnd::rejected,  ExchangeEnd::answered,
    };
    // Round 4's wrong count makes the master drop the answer and end the
    // exchange itself: it counts as answered, with the master's own message.
    for (size_t i = 0; i < ends.size(); ++i) EXPECT_EQ(host.run_round(), ends[i]) << "round " << i + 1;
    // 150 ms late against a 60 ms time-out: the round cannot complete.
    EXPECT_NE(host.run_round(), ExchangeEnd::answered);
    EXPECT_EQ(line.round(), 9u);
    const ExchangeCounters& c = host.exchange.counters();
    EXPECT_EQ(c.rejections(frame::Error::checksum), 3u);
    EXPECT_EQ(c.rejections(frame::Error::noise), 0u);  // noise is not a rejected answer
    EXPECT_EQ(c.noise_bytes, 12u);
    EXPECT_EQ(c.rejections(frame::Error::truncated), 3u);
    EXPECT_EQ(c.rejections(frame::Error::equipment_refused), 3u);
    // Round 3 lost three times; in round 9 at least one attempt ran out before the late answer came.
    EXPECT_GE(c.commands.at(0x4042).timed_out, 3u + 1u);
    const auto logs = host.controller->log_texts();
    EXPECT_NE(std::find(logs.begin(), logs.end(),
                        "PMBusPower:ProcotolError 1 read ac_number is 2, configured ac_number is 1"),
              logs.end());
    EXPECT_GE(line.counters().faults, 3u + 3 + 1 + 1 + 3 + 3 + 3);
}

}  // namespace
