// What the probe makes of the equipment's answers: counts from well-formed
// answers, refusals and damage named per command, and no finding where no
// frame from the address came back.
#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/probe/line_probe.h"
#include "simulator/scenario.h"
#include "simulator/simulated_line.h"

namespace {

constexpr int kFastLine = 115200;

bool has_note(const probe::Finding& f, const std::string& text) {
    for (const auto& n : f.notes)
        if (n == text) return true;
    return false;
}

// A line that answers each write with the next scripted reply, at once.
class ScriptedLine final : public ByteLine {
public:
    explicit ScriptedLine(std::vector<std::vector<uint8_t>> replies) : replies_(replies.begin(), replies.end()) {}
    std::error_code write_all(std::span<const uint8_t> bytes) override {
        written.emplace_back(bytes.begin(), bytes.end());
        if (!replies_.empty()) {
            pending_ = replies_.front();
            replies_.pop_front();
        }
        return {};
    }
    LineRead read_some(std::span<uint8_t> out, int timeout_ms) override {
        if (pending_.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return {};
        }
        const size_t n = std::min(out.size(), pending_.size());
        std::copy_n(pending_.begin(), n, out.begin());
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
        return {n, {}};
    }
    std::vector<std::vector<uint8_t>> written;

private:
    std::deque<std::vector<uint8_t>> replies_;
    std::vector<uint8_t> pending_;
};

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(LineProbe, IdentifiesWhatTheSimulatorReports) {
    struct Case {
        const char* name;
        std::string scenario;
        bool found;
        std::optional<unsigned> modules, ac, dc;
        std::optional<std::string> model;
        std::vector<std::string> notes;
    };
    const std::string no_model = "model (40 51): equipment refused with RTN 0x04";
    const std::string two_ac = R"("site": {"ac": [{"channels": [{}, {}]}, {}], "dc": [], "modules": [{}, {}]})";
    const std::vector<Case> cases = {
        {"voka set", R"({"equipment": {"address": 7}, )" + two_ac + "}", true, 2, 2, 0, std::nullopt,
         {no_model}},
        {"general set answers the model only", R"({"equipment": {"address": 7, "command_set": "general"},
            "site": {"model": "XR-48"}})", true, std::nullopt, std::nullopt, std::nullopt, "XR-48",
         {"rectifier analog values (41 42): equipment refused with RTN 0x04",
          "AC analog values (40 42): equipment refused with RTN 0x04",
          "DC analog values (42 42): equipment refused with RTN 0x04"}},
        {"noise before an answer is passed over", R"({"equipment": {"address": 7},
            "faults": [{"kind": "noise", "cid1": "0x41"}]})", true, 3, 1, 1, std::nullopt, {no_model}},
        {"a refused and a damaged answer", R"({"equipment": {"address": 7},
            "faults": [{"kind": "error_rtn", "cid1": "0x42"}, {"kind": "bad_checksum", "cid1": "0x40", "cid2": "0x42"}]})",
         true, 3, std::nullopt, std::nullopt, std::nullopt,
         {"AC analog values (40 42): checksum wrong", "DC analog values (42 42): equipment refused with RTN 0x05",
          no_model}},
        {"another address", R"({"equipment": {"address": 8}})", false, {}, {}, {}, {}, {}},
        {"every answer damaged", R"({"equipment": {"address": 7}, "faults": [{"kind": "truncated"}]})", false,
         {}, {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        sim::SimulatedLine line(sim::parse_scenario(c.scenario, "t.json"), false);
        probe::LineProbe probe(line, kFastLine);
        const auto f = probe.identify(7);
        ASSERT_EQ(f.has_value(), c.found) << c.name;
        if (!f) continue;
        EXPECT_EQ(f->modules, c.modules) << c.name;
        EXPECT_EQ(f->ac_units, c.ac) << c.name;
        EXPECT_EQ(f->dc_units, c.dc) << c.name;
        EXPECT_EQ(f->model, c.model) << c.name;
        for (const auto& n : c.notes) EXPECT_TRUE(has_note(*f, n)) << c.name << ": " << n;
        EXPECT_EQ(f->notes.size(), c.notes.size()) << c.name;
    }
}

TEST(LineProbe, TellsAnAnswerFromEchoesAndStrangers) {
    const auto command = *frame::encode_command(0x20, 7, 0x41, 0x42, {});
    const std::vector<uint8_t> info = {0x11, 0x02, 0x1C, 0x03};
    const auto answer = *frame::encode_answer(0x20, 7, 0x41, 0x00, info);
    const auto stranger = *frame::encode_answer(0x20, 8, 0x41, 0x00, info);

    ScriptedLine line({command + answer, stranger});
    probe::LineProbe probe(line, kFastLine);
    const auto echoed = probe.ask(7, 0x41, 0x42);
    EXPECT_EQ(echoed.kind, probe::Reply::Kind::data);
    EXPECT_EQ(echoed.info, info);
    EXPECT_EQ(line.written.front(), command);
    EXPECT_FALSE(probe.heard_garble());

    const auto other = probe.ask(7, 0x41, 0x42);
    EXPECT_EQ(other.kind, probe::Reply::Kind::garbled);
    EXPECT_EQ(other.why, "an answer from address 8 to CID1 0x41");
    EXPECT_TRUE(probe.heard_garble());
    EXPECT_EQ(probe.ask(7, 0x41, 0x42).kind, probe::Reply::Kind::silent);
}
