// The simulated power system as the host's decoder sees it: valid commands
// to its address get the site's answer, rounds are counted where polling
// rounds start, timed changes show in the right rounds, and each fault has
// its effect on the wire.
#include <functional>
#include <iterator>
#include <ranges>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/commands.h"
#include "simulator/simulated_power_system.h"
#include "tests/support/sim_wire.h"

namespace {

using frame::Error;
using sim::CommandSet;
using sim::SimulatedPowerSystem;

struct SimCmd {
    uint8_t cid1, cid2;
};
const std::vector<SimCmd> kVokaRound = {{0x40, 0x42}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x42}, {0x41, 0x43},
                                     {0x41, 0x44}, {0x42, 0x42}, {0x42, 0x44}, {0x40, 0x47}, {0x42, 0x47}};
const std::vector<SimCmd> kSimGeneralCommands = {{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x40, 0x46}, {0x40, 0x51},
                                           {0x41, 0x41}, {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                           {0x42, 0x46}};

SimulatedPowerSystem system_from(const std::string& json) { return SimulatedPowerSystem(sim::parse_scenario(json, "t.json")); }

// The answers to one command, each as the host's decoder takes it.
std::vector<sim::Answer> ask(SimulatedPowerSystem& s, SimCmd c, uint8_t adr = 1, uint8_t ver = 0x20) {
    return s.feed(command_frame(c.cid1, c.cid2, {}, adr, ver));
}

Decoded ask_decoded(SimulatedPowerSystem& s, SimCmd c) {
    const auto answers = ask(s, c);
    std::vector<uint8_t> bytes;
    for (const auto& a : answers) bytes.insert(bytes.end(), a.bytes.begin(), a.bytes.end());
    return decode_answers(bytes);
}

TEST(SimPowerSystem, AnswersEveryKnownCommandWithItsVerItsOwnAddressAndTheSitesInfo) {
    struct Case {
        const char* set_name;
        CommandSet set;
        std::vector<SimCmd> commands;
    };
    const std::vector<Case> cases = {{"voka", CommandSet::voka, kVokaRound},
                                      {"general", CommandSet::general, kSimGeneralCommands}};
    for (const Case& c : cases) {
        auto s = system_from(std::string(R"({"equipment": {"address": 7, "command_set": ")") + c.set_name + "\"}}");
        for (const SimCmd cmd : c.commands) {
            const auto answers = ask(s, cmd, 7, 0x21);
            ASSERT_EQ(answers.size(), 1u);
            const Decoded d = decode_answers(answers[0].bytes);
            ASSERT_EQ(d.frames.size(), 1u) << c.set_name << " " << int(cmd.cid1) << " " << int(cmd.cid2);
            EXPECT_TRUE(d.rejections.empty());
            const auto& f = d.frames[0];
            EXPECT_EQ(f[0], 0x21);  // VER as the command's
            EXPECT_EQ(f[1], 7);     // ADR its own
            EXPECT_EQ(f[2], cmd.cid1);
            EXPECT_EQ(f[3], 0x00);
            EXPECT_EQ(d.info(), sim::answer_info(s.site(), c.set, cmd.cid1, cmd.cid2).value())
                << c.set_name << " " << int(cmd.cid1) << " " << int(cmd.cid2);
        }
        EXPECT_EQ(s.counters().commands, c.commands.size());
        EXPECT_EQ(s.counters().unknown_commands, 0u);
    }
}

TEST(SimPowerSystem, RefusesUnknownCommandsWithRtn04) {
    struct Case {
        const char* set;
        SimCmd cmd;
    };
    // 0x51 and the float codes belong to the general set only, and the
    // reverse; 0x43 has no DC form; 0x45 is nobody's.
    const std::vector<Case> cases = {{"voka", {0x40, 0x51}}, {"voka", {0x40, 0x41}}, {"voka", {0x42, 0x43}},
                                     {"general", {0x41, 0x42}}, {"general", {0x40, 0x47}}, {"voka", {0x43, 0x42}},
                                     {"voka", {0x40, 0x45}}};
    for (const Case& c : cases) {
        auto s = system_from(std::string(R"({"equipment": {"command_set": ")") + c.set + "\"}}");
        const Decoded d = ask_decoded(s, c.cmd);
        EXPECT_TRUE(d.frames.empty());
        ASSERT_EQ(d.rejections.size(), 1u) << c.set << " " << int(c.cmd.cid1) << " " << int(c.cmd.cid2);
        EXPECT_EQ(d.rejections[0].reason, Error::equipment_refused);
        EXPECT_EQ(d.rejections[0].rtn, SimulatedPowerSystem::kRtnUnknownCommand);
        EXPECT_EQ(s.counters().unknown_commands, 1u);
    }
}

TEST(SimPowerSystem, IgnoresCommandsForOtherAddressesAndBrokenFrames) {
    auto s = system_from("{}");
    EXPECT_TRUE(ask(s, {0x40, 0x42}, 2).empty());
    auto broken = command_frame(0x40, 0x42);
    broken[broken.size() - 2] ^= 1;  // checksum off by one
    const std::string garbage = "\x01\x02 noise \x0D";
    EXPECT_TRUE(s.feed(broken).empty());
    EXPECT_TRUE(s.feed({reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size()}).empty());
    EXPECT_EQ(s.counters().other_address, 1u);
    EXPECT_EQ(s.counters().bad_frames, 1u);
    EXPECT_EQ(s.counters().commands, 0u);
    EXPECT_EQ(s.round(), 0u);  // nothing ignored starts a round
    EXPECT_EQ(ask(s, {0x40, 0x42}).size(), 1u);  // and the next good command is answered
}

// A round starts at the AC analog command, or at a rectifier analog command
// with no AC analog command before it since the last one (no AC units).
TEST(SimPowerSystem, CountsARoundAtEachFirstCommandOfARound) {
    struct Case {
        const char* name;
        const char* json;
        std::vector<SimCmd> commands;
        std::vector<unsigned> rounds;  // after each command
        unsigned finished;             // the last round whose DC parameters came
    };
    const std::vector<Case> cases = {
        {"voka, two whole rounds", "{}",
         {{0x40, 0x42}, {0x40, 0x43}, {0x41, 0x42}, {0x42, 0x42}, {0x42, 0x47}, {0x40, 0x42}, {0x41, 0x42}},
         {1, 1, 1, 1, 1, 2, 2}, 1},
        {"voka, rounds cut short after their first command", "{}",
         {{0x40, 0x42}, {0x40, 0x42}, {0x40, 0x42}}, {1, 2, 3}, 0},
        {"voka without AC units", R"({"site": {"ac": []}})",
         {{0x41, 0x42}, {0x41, 0x43}, {0x42, 0x42}, {0x42, 0x47}, {0x41, 0x42}, {0x41, 0x42}}, {1, 1, 1, 1, 2, 3},
         1},
        {"general: the model query comes before round 1", R"({"equipment": {"command_set": "general"}})",
         {{0x40, 0x51}, {0x40, 0x41}, {0x41, 0x41}, {0x42, 0x46}, {0x40, 0x41}}, {0, 1, 1, 1, 2}, 1},
        {"general without AC units", R"({"equipment": {"command_set": "general"}, "site": {"ac": []}})",
         {{0x40, 0x51}, {0x41, 0x41}, {0x42, 0x41}, {0x41, 0x41}}, {0, 1, 1, 2}, 0},
    };
    for (const Case& c : cases) {
        auto s = system_from(c.json);
        for (size_t i = 0; i < c.commands.size(); ++i) {
            ask(s, c.commands[i]);
            EXPECT_EQ(s.round(), c.rounds[i]) << c.name << ", command " << i;
        }
        EXPECT_EQ(s.finished_round(), c.finished) << c.name;
    }
}

TEST(SimPowerSystem, TimedChangesShowInTheAnswersOfTheirRoundsOnly) {
    auto s = system_from(R"({"changes": [
        {"from_round": 3, "until_round": 4, "set": {"modules[1].fault": 1}},
        {"from_round": 4, "set": {"dc[0].v_state": 2}}]})");
    for (unsigned round = 1; round <= 6; ++round) {
        const Decoded analog = ask_decoded(s, {0x40, 0x42});
        ASSERT_EQ(s.round(), round);
        ASSERT_EQ(analog.frames.size(), 1u);
        const Decoded rc_alarms = ask_decoded(s, {0x41, 0x44});
        const Decoded dc_alarms = ask_decoded(s, {0x42, 0x44});
        // Rectifier alarms: DATAFLAG, count, then (fault, 0) per module.
        EXPECT_EQ(rc_alarms.info().at(4), (round == 3 || round == 4) ? 1 : 0) << "round " << round;
        EXPECT_EQ(rc_alarms.info().at(2), 0) << "round " << round;
        // DC alarms: DATAFLAG, count, then v_state of unit 0.
        EXPECT_EQ(dc_alarms.info().at(2), round >= 4 ? 2 : 0) << "round " << round;
    }
}

// The command table (protocol/commands.h) against the simulator's real answers:
// each set's commands and where their counts sit, on a site whose counts all
// differ (2 AC units, 3 DC units, 4 modules); then each answer's size and
// frame on sites of other shapes.
TEST(SimPowerSystem, CommandTableDescribesTheAnswers) {
    sim::Site site;
    site.ac.resize(2);
    site.ac[0].channels.resize(2);
    site.dc.resize(3);
    site.modules.resize(4);
    struct Case {
        CommandSet set;
        SimCmd cmd;
        int count;  // -1: no count in this answer
    };
    const std::vector<Case> cases = {
        {CommandSet::voka, {0x40, 0x42}, 2},    {CommandSet::voka, {0x40, 0x43}, -1},
        {CommandSet::voka, {0x40, 0x44}, -1},   {CommandSet::voka, {0x41, 0x42}, 4},
        {CommandSet::voka, {0x41, 0x43}, 4},    {CommandSet::voka, {0x41, 0x44}, 4},
        {CommandSet::voka, {0x42, 0x42}, 3},    {CommandSet::voka, {0x42, 0x44}, 3},
        {CommandSet::voka, {0x40, 0x47}, -1},   {CommandSet::voka, {0x42, 0x47}, -1},
        {CommandSet::general, {0x40, 0x41}, 2}, {CommandSet::general, {0x40, 0x43}, 2},
        {CommandSet::general, {0x40, 0x44}, 2}, {CommandSet::general, {0x41, 0x41}, 4},
        {CommandSet::general, {0x41, 0x43}, 4}, {CommandSet::general, {0x41, 0x44}, 4},
        {CommandSet::general, {0x42, 0x41}, 3}, {CommandSet::general, {0x42, 0x44}, 3},
        {CommandSet::general, {0x40, 0x46}, -1}, {CommandSet::general, {0x40, 0x51}, -1},
        {CommandSet::general, {0x42, 0x46}, -1},
    };
    for (const Case& c : cases) {
        const protocol::Command* command = protocol::commands(c.set).find(c.cmd.cid1, c.cmd.cid2);
        ASSERT_NE(command, nullptr) << int(c.cmd.cid1) << " " << int(c.cmd.cid2);
        const auto info = sim::answer_info(site, c.set, c.cmd.cid1, c.cmd.cid2).value();
        EXPECT_EQ(command->counted == protocol::Counted::nothing, c.count < 0) << int(c.cmd.cid1) << " " << int(c.cmd.cid2);
        if (c.count >= 0) {
            EXPECT_EQ(info.at(command->count_at), c.count) << int(c.set) << " " << int(c.cmd.cid1) << " " << int(c.cmd.cid2);
        }
    }
    EXPECT_EQ(std::ranges::distance(protocol::kVokaSet) + std::ranges::distance(protocol::kGeneralSet),
              std::ssize(cases));
    EXPECT_FALSE(sim::answer_info(site, CommandSet::voka, 0x40, 0x51));  // the model query is the general set's
    EXPECT_FALSE(sim::answer_info(site, CommandSet::general, 0x42, 0x42));

    sim::Site bare;  // no AC or DC unit, no module
    bare.ac.clear();
    bare.dc.clear();
    bare.modules.clear();
    sim::Site large = site;  // two switch states on one AC unit, none on the other; DC units of 0 to 4 groups
    large.ac[0].airlocks = {1, 0};
    large.ac[1].airlocks.clear();
    large.ac[1].channels.resize(5);
    large.dc.resize(5);
    for (size_t u = 0; u < large.dc.size(); ++u) large.dc[u].battery_currents.assign(u, 1.0f);
    large.modules.resize(60);
    for (const sim::Site& shape : {sim::Site{}, site, bare, large}) {
        protocol::Counts counts{.ac_units = shape.ac.size(), .dc_units = shape.dc.size(), .modules = shape.modules.size()};
        for (const auto& unit : shape.ac) counts.ac_channels += unit.channels.size(), counts.ac_switch_states += unit.airlocks.size();
        for (const auto& unit : shape.dc) counts.battery_groups += unit.battery_currents.size();
        for (CommandSet set : {CommandSet::voka, CommandSet::general})
            for (const protocol::Command& c : protocol::commands(set)) {
                const auto info = sim::answer_info(shape, set, c.cid1, c.cid2).value();
                EXPECT_EQ(protocol::info_bytes(c, counts), info.size()) << c.holds << " (" << shape.ac.size() << " AC)";
                EXPECT_EQ(protocol::frame_bytes(info.size()), frame::encode_answer(0x20, 1, c.cid1, 0, info)->size());
            }
    }
}

// Time on the wire, 10 bits a byte, rounded up to the millisecond.
TEST(SimPowerSystem, WireTimeRoundsUp) {
    struct Case { size_t bytes; int baud, ms; };
    for (const Case& c : std::vector<Case>{{18, 9600, 19}, {96, 9600, 100}, {1, 115200, 1}, {0, 9600, 0},
                                           {4112, 4'000'000, 11}, {4112, 50, 822'400}})  // 4112: the longest frame
        EXPECT_EQ(protocol::wire_ms(c.bytes, c.baud), c.ms) << c.bytes << " bytes at " << c.baud;
}

// Each fault as the host's decoder meets it. Faults here hit round 2's DC
// analog answer only: the same command in round 1 and 3, and round 2's
// other commands, are answered normally.
TEST(SimPowerSystem, EachFaultHasItsEffectOnTheWire) {
    struct Case {
        const char* fault;  // the fault's JSON members besides rounds and command
        std::vector<Error> rejections;
        bool frame;     // a valid frame still arrives
        bool silent;    // nothing at all is sent
        int delay_ms;   // of the answer
        std::function<void(const std::vector<uint8_t>& normal, const Decoded&)> check = {};
    };
    const std::vector<Case> cases = {
        {R"("kind": "bad_checksum")", {Error::checksum}, false, false, 5},
        {R"("kind": "no_answer")", {}, false, true, 0},
        {R"("kind": "truncated")", {Error::truncated}, false, false, 5},
        {R"("kind": "error_rtn", "rtn": "0x06")", {Error::equipment_refused}, false, false, 5,
         [](const std::vector<uint8_t>&, const Decoded& d) { EXPECT_EQ(d.rejections[0].rtn, 0x06); }},
        {R"("kind": "error_rtn")", {Error::equipment_refused}, false, false, 5,
         [](const std::vector<uint8_t>&, const Decoded& d) { EXPECT_EQ(d.rejections[0].rtn, 0x05); }},
        {R"("kind": "noise", "noise_bytes": 20)", {Error::noise}, true, false, 5,
         [](const std::vector<uint8_t>& normal, const Decoded& d) { EXPECT_EQ(d.info(), normal); }},
        {R"("kind": "delay", "delay_ms": 300)", {}, true, false, 305,
         [](const std::vector<uint8_t>& normal, const Decoded& d) { EXPECT_EQ(d.info(), normal); }},
        {R"("kind": "wrong_unit_count")", {}, true, false, 5,
         [](const std::vector<uint8_t>& normal, const Decoded& d) {
             auto expected = normal;
             expected[1] = 2;  // one DC unit announced as two, nothing else changed
             EXPECT_EQ(d.info(), expected);
         }},
        {R"("kind": "wrong_unit_count", "unit_count": 0)", {}, true, false, 5,
         [](const std::vector<uint8_t>& normal, const Decoded& d) {
             auto expected = normal;
             expected[1] = 0;
             EXPECT_EQ(d.info(), expected);
         }},
    };
    for (const Case& c : cases) {
        auto s = system_from(std::string(R"({"equipment": {"answer_delay_ms": 5}, "faults": [{)") + c.fault +
                             R"(, "from_round": 2, "until_round": 2, "cid1": "0x42", "cid2": "0x42"}]})");
        const auto normal = sim::answer_info(s.site(), CommandSet::voka, 0x42, 0x42).value();
        for (unsigned round = 1; round <= 3; ++round) {
            ask(s, {0x40, 0x42});
            const auto rc = ask(s, {0x41, 0x42});
            ASSERT_EQ(decode_answers(rc.at(0).bytes).frames.size(), 1u) << c.fault << ": other commands are answered";
            const auto answers = ask(s, {0x42, 0x42});
            if (round != 2) {
                ASSERT_EQ(answers.size(), 1u) << c.fault;
                EXPECT_EQ(decode_answers(answers[0].bytes).info(), normal) << c.fault << ", round " << round;
                EXPECT_EQ(answers[0].delay_ms, 5) << c.fault << ", round " << round;
                continue;
            }
            if (c.silent) {
                EXPECT_TRUE(answers.empty()) << c.fault;
                EXPECT_EQ(s.counters().unanswered, 1u);
                continue;
            }
            ASSERT_EQ(answers.size(), 1u) << c.fault;
            EXPECT_EQ(answers[0].delay_ms, c.delay_ms) << c.fault;
            EXPECT_EQ(answers[0].round, 2u) << c.fault;
            const Decoded d = decode_answers(answers[0].bytes);
            std::vector<Error> reasons;
            for (const auto& r : d.rejections) reasons.push_back(r.reason);
            EXPECT_EQ(reasons, c.rejections) << c.fault;
            EXPECT_EQ(d.frames.size(), c.frame ? 1u : 0u) << c.fault;
            if (c.check && reasons == c.rejections) c.check(normal, d);
        }
        EXPECT_EQ(s.counters().faults, 1u) << c.fault;
    }
}

TEST(SimPowerSystem, FaultsCombineOnOneAnswer) {
    auto s = system_from(R"({"faults": [{"kind": "noise", "noise_bytes": 3}, {"kind": "bad_checksum"},
                                        {"kind": "delay", "delay_ms": 40}]})");
    const auto answers = ask(s, {0x40, 0x42});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].delay_ms, 40);
    const Decoded d = decode_answers(answers[0].bytes);
    ASSERT_EQ(d.rejections.size(), 2u);
    EXPECT_EQ(d.rejections[0].reason, Error::noise);
    EXPECT_EQ(d.rejections[1].reason, Error::checksum);
    EXPECT_EQ(s.counters().faults, 3u);
}

TEST(SimPowerSystem, ReportsRoundsAndFaultsAsEvents) {
    auto s = system_from(R"({"faults": [{"kind": "no_answer", "from_round": 2, "cid1": 65}]})");
    std::vector<std::string> events;
    s.set_event_sink([&](std::string_view e) { events.emplace_back(e); });
    for (SimCmd c : {SimCmd{0x40, 0x42}, SimCmd{0x41, 0x42}, SimCmd{0x40, 0x42}, SimCmd{0x41, 0x42}}) ask(s, c);
    EXPECT_EQ(events, (std::vector<std::string>{"round 1 begins", "round 2 begins",
                                                "round 2: no_answer on CID1 0x41 CID2 0x42"}));
}

}  // namespace
