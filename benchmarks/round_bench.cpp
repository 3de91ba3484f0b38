// Times one whole "voka" polling round and the children's value lookups.
//
// Site: sim::Site's default, one AC unit with one channel, one DC unit and
// three rectifier modules; a round is 10 commands and 10 answers.
//
// Bytes on the wire for one round (frames as encode_command / encode_answer
// build them, INFO from sim::answer_info), at 9600 baud 8N1 (10 bits a byte):
//   commands 186 bytes + answers 620 bytes = 806 bytes
//   -> 806 x 10 bits / 9600 = 839.6 ms of line time at the least, before
//      any turnaround or pause.
// The program prints the same figures before it runs and attaches them to the
// round benchmarks as counters.
//
// Run by hand from the release preset:
//   cmake --preset release && cmake --build --preset release --target voka_bench
//   ./build/release/benchmarks/voka_bench --benchmark_min_time=0.2
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/reader.h>
#include <json/value.h>

#include "host/pmbus_protocol.h"
#include "host/ztx_controller.h"
#include "line/frame_codec.h"
#include "power/voka.h"
#include "simulator/answers.h"

namespace {

constexpr uint8_t kAnswerVer = 0x20;
constexpr uint8_t kAnswerAdr = 0x01;
constexpr int kBitsPerByte = 10;  // 8N1: start, 8 data, stop
constexpr double kBaud = 9600.0;

// A controller that keeps nothing, so the figures are the plug-in's cost and
// not a recorder's. Work items run inline: building and running them is part
// of a round's end; the hooks they call do nothing.
class NullController final : public ZTXController {
public:
    struct Command {
        uint8_t cid1;
        uint8_t cid2;
        std::vector<uint8_t> info;
    };

    void log_message(const char*, const std::vector<std::string>&) override { ++logs; }
    bool device_initialised(ZTXVDevice&, ZTXVDevice*, unsigned, const Json::Value&) override { return true; }
    void publish(ZTXVDevice&, int, std::span<const uint8_t>, bool) override {}
    void threshold_reported(ZTXVDevice&, const rule_value&) override {}
    void queue_work(ZTXVDevice&, std::function<void()> item) override { item(); }
    bool evaluate_rules(ZTXVDevice&, const std::vector<rule_value>&) override { return false; }
    void save_history(ZTXVDevice&, std::span<const uint8_t>) override {}
    bool may_poll(ZTXSPDevice&) override { return true; }
    void exchange_ended(ZTXSPDevice&) override {}
    int write_line(ZTXSPDevice&, std::span<const uint8_t> bytes) override { return static_cast<int>(bytes.size()); }
    void send_command(PMBusProtocol& device, uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) override {
        if (capture) capture->push_back({cid1, cid2, {info.begin(), info.end()}});
        if (encode) {
            // The host's framing of each command, as the line exchange does it.
            auto frame = frame::encode_command(device.protocol_ver, device.address, cid1, cid2, info);
            benchmark::DoNotOptimize(frame);
        }
    }

    std::vector<Command>* capture = nullptr;  // set only outside the timed loops
    bool encode = false;
    unsigned logs = 0;  // any log means the round did not go as expected
};

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        throw std::invalid_argument("bad JSON: " + errors);
    return value;
}

template <class T>
T must(std::optional<T> v, const char* what) {
    if (!v) throw std::runtime_error(what);
    return std::move(*v);
}

// A configured master and, built once, everything one of its rounds exchanges.
struct Plant {
    std::shared_ptr<NullController> controller = std::make_shared<NullController>();
    std::shared_ptr<VOKA> master = std::make_shared<VOKA>();
    sim::Site site;
    std::vector<NullController::Command> commands;
    std::vector<std::vector<uint8_t>> command_frames;  // SOI..EOI
    std::vector<std::vector<uint8_t>> answer_frames;   // SOI..EOI, as the equipment sends them
    std::vector<std::vector<uint8_t>> decoded;         // as the host hands them to process()

    Plant() {
        master->controller = controller;
        master->data_id = 1;
        if (!master->InitSetting(parse_json(
                R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}})")))
            throw std::runtime_error("master not configured");
        // One round answered command by command learns the round's commands
        // and prebuilds their answers.
        controller->capture = &commands;
        if (!master->RefreshStatus()) throw std::runtime_error("no round");
        frame::Decoder decoder;
        for (int n = 0; n < 20; ++n) {
            const auto& cmd = commands.back();
            command_frames.push_back(must(frame::encode_command(master->protocol_ver, master->address, cmd.cid1,
                                                                cmd.cid2, cmd.info), "command"));
            const auto info = must(sim::answer_info(site, sim::CommandSet::voka, cmd.cid1, cmd.cid2), "no answer");
            answer_frames.push_back(must(frame::encode_answer(kAnswerVer, kAnswerAdr, cmd.cid1, 0x00, info), "answer"));
            for (uint8_t b : answer_frames.back())
                if (decoder.push(b) == frame::Decoder::Step::frame)
                    decoded.emplace_back(decoder.frame().begin(), decoder.frame().end());
            if (decoded.size() != answer_frames.size()) throw std::runtime_error("answer did not decode");
            if (master->process(decoded.back().data(), static_cast<unsigned>(decoded.back().size())) == 0) break;
        }
        controller->capture = nullptr;
        if (commands.size() != 10 || decoded.size() != 10 || controller->logs != 0)
            throw std::runtime_error("unexpected round: " + std::to_string(commands.size()) + " commands");
    }

    size_t wire_bytes(const std::vector<std::vector<uint8_t>>& frames) const {
        size_t n = 0;
        for (const auto& f : frames) n += f.size();
        return n;
    }
    size_t wire_total() const { return wire_bytes(command_frames) + wire_bytes(answer_frames); }
    double wire_ms() const { return static_cast<double>(wire_total()) * kBitsPerByte / kBaud * 1000.0; }

    // One round from prebuilt decoded answers; true when the last ended it.
    bool round() {
        if (!master->RefreshStatus()) return false;
        int result = 1;
        for (auto& answer : decoded) result = master->process(answer.data(), static_cast<unsigned>(answer.size()));
        return result == 0;
    }
};

void add_wire_counters(benchmark::State& state, const Plant& plant) {
    state.counters["wire_bytes"] = static_cast<double>(plant.wire_total());
    state.counters["wire_ms"] = plant.wire_ms();
}

// 1. The plug-in alone: RefreshStatus, the 10 decoded answers, RoundDone on every child.
void BM_Round(benchmark::State& state) {
    Plant plant;
    int64_t ended = 0;
    for (auto _ : state) ended += plant.round();
    if (ended != state.iterations() || plant.controller->logs != 0) state.SkipWithError("a round did not end cleanly");
    add_wire_counters(state, plant);
}
BENCHMARK(BM_Round);

// 2. The same round with the host's frame work: each command encoded, each
// answer frame decoded byte by byte and copied as the line exchange does.
void BM_RoundWithFrames(benchmark::State& state) {
    Plant plant;
    plant.controller->encode = true;
    frame::Decoder decoder;
    std::vector<uint8_t> answer;
    answer.reserve(frame::kDecodedHeaderBytes + frame::kMaxInfoBytes);
    int64_t ended = 0;
    for (auto _ : state) {
        if (!plant.master->RefreshStatus()) break;
        int result = 1;
        for (const auto& bytes : plant.answer_frames)
            for (uint8_t b : bytes)
                if (decoder.push(b) == frame::Decoder::Step::frame) {
                    answer.assign(decoder.frame().begin(), decoder.frame().end());
                    result = plant.master->process(answer.data(), static_cast<unsigned>(answer.size()));
                }
        ended += result == 0;
    }
    if (ended != state.iterations() || plant.controller->logs != 0) state.SkipWithError("a round did not end cleanly");
    add_wire_counters(state, plant);
}
BENCHMARK(BM_RoundWithFrames);

// 3. Value lookups on the children after a round; the refusal throws.
void lookup(benchmark::State& state, unsigned id, const std::string& key, bool refused) {
    Plant plant;  // its round leaves fresh data
    const auto child = plant.master->GetChildVDevice(id);
    if (!child) {
        state.SkipWithError("no child");
        return;
    }
    int64_t refusals = 0;
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(child->Get_Value(id, key));
        } catch (const std::out_of_range&) {
            ++refusals;
        }
    }
    if (refusals != (refused ? state.iterations() : 0)) state.SkipWithError("unexpected lookup result");
}

// Reference: every lookup first reads the local clock to the second to judge
// the data's age; this is that read alone.
void BM_LocalClockRead(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(boost::posix_time::second_clock::local_time());
}
BENCHMARK(BM_LocalClockRead);

const std::string kLongKey = std::string(189, 'x') + "channel_0_f";  // 200 characters
// 200 characters of near misses: "channel_" never followed by digits and '_'.
const std::string kLongNearMissKey = [] {
    std::string k;
    while (k.size() < 189) k += "channel_x";
    k.resize(189);
    return k + "channel_0_f";
}();

BENCHMARK_CAPTURE(lookup, ac_ia, 11u, std::string("ia"), false);
BENCHMARK_CAPTURE(lookup, ac_ia_alert, 11u, std::string("ia_alert"), false);
BENCHMARK_CAPTURE(lookup, ac_channel_0_a, 11u, std::string("channel_0_a"), false);
BENCHMARK_CAPTURE(lookup, ac_long_200, 11u, kLongKey, false);
BENCHMARK_CAPTURE(lookup, ac_long_200_near_misses, 11u, kLongNearMissKey, false);
BENCHMARK_CAPTURE(lookup, dc_v, 21u, std::string("v"), false);
BENCHMARK_CAPTURE(lookup, ac_channel_9_a_refused, 11u, std::string("channel_9_a"), true);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    {
        const Plant plant;
        std::printf("one round on the wire: %zu command bytes + %zu answer bytes = %zu bytes; "
                    "%.2f ms at 9600 baud 8N1\n",
                    plant.wire_bytes(plant.command_frames), plant.wire_bytes(plant.answer_frames),
                    plant.wire_total(), plant.wire_ms());
        for (size_t i = 0; i < plant.commands.size(); ++i)
            std::printf("  CID1 0x%02X CID2 0x%02X: command %zu bytes, answer %zu bytes\n", plant.commands[i].cid1,
                        plant.commands[i].cid2, plant.command_frames[i].size(), plant.answer_frames[i].size());
        std::fflush(stdout);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
