// Times one whole "voka" polling round and the children's value lookups,
// and counts the heap allocations a round makes.
//
// Sites: "example", sim::Site's default (one AC unit with one channel, one DC
// unit, three rectifier modules), and "large" (8 AC units of 8 channels, 8 DC
// units, 120 modules); a round is 10 commands and 10 answers.
//
// Wire figures below are for the example site.
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
// Instruction counts per round come from scripts/round-cost.sh, which runs
//   voka_bench --measured-rounds=SITE:N
// (N rounds with nothing else) under callgrind.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <regex>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/reader.h>
#include <json/value.h>

#include "benchmarks/allocation_counter.h"
#include "host/interface/pmbus_protocol.h"
#include "host/interface/ztx_controller.h"
#include "host/line/frame_codec.h"
#include "plugin/power/voka.h"
#include "simulator/answers.h"

namespace {

// Allocations made while `f` runs.
template <class F>
uint64_t allocations_of(F&& f) {
    const uint64_t before = alloc_count::total;
    alloc_count::counting = true;
    f();
    alloc_count::counting = false;
    return alloc_count::total - before;
}

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
    bool evaluate_rules(ZTXVDevice&, const std::vector<rule_value>& rules) override {
        // What the host's CheckThresholdBool spent copying these rules into
        // its own records: the same copies again, counted apart.
        if (alloc_count::counting) {
            const uint64_t before = alloc_count::total;
            for (const rule_value& r : rules) benchmark::DoNotOptimize(rule_value(r));
            host_rule_copies += alloc_count::total - before;
            alloc_count::total = before;
        }
        return false;
    }
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
    uint64_t host_rule_copies = 0;  // allocations the host's copies of rule texts make
};

enum class SiteSize { example, large };

sim::Site make_site(SiteSize size) {
    sim::Site site;
    if (size == SiteSize::large) {
        site.ac.assign(8, sim::AcUnit{});
        for (auto& unit : site.ac) unit.channels.assign(8, sim::AcChannel{});
        site.dc.assign(8, sim::DcUnit{});
        site.modules.assign(120, sim::RectifierModule{});
    }
    return site;
}

// Data ids 11, 12, ... for the AC devices and 31, 32, ... for the DC devices.
std::string site_config(const sim::Site& site) {
    const auto list = [](size_t n, unsigned first) {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            if (i) out += ", ";
            out += "{\"data_id\": ";
            out += std::to_string(first + i);
            out += "}";
        }
        return out;
    };
    std::string config = "{\"acSetting\": [";
    config += list(site.ac.size(), 11);
    config += "], \"dcSetting\": [";
    config += list(site.dc.size(), 31);
    config += "], \"rcSetting\": {}}";
    return config;
}

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
    size_t devices = 0;  // children that end each round
    std::vector<NullController::Command> commands;
    std::vector<std::vector<uint8_t>> command_frames;  // SOI..EOI
    std::vector<std::vector<uint8_t>> answer_frames;   // SOI..EOI, as the equipment sends them
    std::vector<std::vector<uint8_t>> decoded;         // as the host hands them to process()

    explicit Plant(SiteSize size = SiteSize::example) : site(make_site(size)) {
        master->controller = controller;
        master->data_id = 1;
        if (!master->InitSetting(parse_json(site_config(site)))) throw std::runtime_error("master not configured");
        devices = site.ac.size() + site.dc.size() + 1;
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

// 1. The plug-in alone: RefreshStatus, the 10 decoded answers, RoundDone on
// every child. Counters: heap allocations per round in all, those the host's
// copies of the rule texts make (host code, not the plug-in's), and the
// plug-in's own per device.
void BM_Round(benchmark::State& state, SiteSize size) {
    Plant plant(size);
    int64_t ended = 0;
    uint64_t allocations = 0;
    for (auto _ : state) allocations += allocations_of([&] { ended += plant.round(); });
    if (ended != state.iterations() || plant.controller->logs != 0) state.SkipWithError("a round did not end cleanly");
    const double rounds = static_cast<double>(state.iterations());
    const double host = static_cast<double>(plant.controller->host_rule_copies) / rounds;
    state.counters["allocs_per_round"] = static_cast<double>(allocations) / rounds;
    state.counters["host_rule_copy_allocs"] = host;
    state.counters["plugin_allocs_per_device"] =
        (static_cast<double>(allocations) / rounds - host) / static_cast<double>(plant.devices);
    if (size == SiteSize::example) add_wire_counters(state, plant);
}
BENCHMARK_CAPTURE(BM_Round, example, SiteSize::example);
BENCHMARK_CAPTURE(BM_Round, large, SiteSize::large);

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

// The lookup as the documents describe it, for comparison in the same run:
// the freshness check on the local clock, the names, a search with a prebuilt
// regular expression and atoi.
float described_lookup(const VOKA_AC& ac, const std::string& key) {
    static const std::regex channel_key("channel_(\\d+)_(.+?)");
    if (!ac.data_valid) throw std::out_of_range("数据未就绪");
    if ((boost::posix_time::second_clock::local_time() - ac.last_update).total_seconds() >= 61)
        throw std::out_of_range("数据已超时");
    const auto& h = ac.header();
    if (key == "ia") return h.ia;
    if (key == "ib") return h.ib;
    if (key == "ic") return h.ic;
    if (key == "ia_alert") return h.ia_alert;
    if (key == "ib_alert") return h.ib_alert;
    if (key == "ic_alert") return h.ic_alert;
    std::smatch m;
    if (!std::regex_search(key, m, channel_key)) throw std::out_of_range("数据未提供");
    const size_t index = static_cast<size_t>(std::atoi(m[1].str().c_str()));
    if (index >= ac.channels().size()) throw std::out_of_range("通道参数越界");
    const auto& ch = ac.channels()[index];
    switch (m[2].str()[0]) {
        case 'a': return ch.a;
        case 'b': return ch.b;
        case 'c': return ch.c;
        case 'f': return ch.f;
        default: throw std::out_of_range("数据未提供");
    }
}

// The pair: Get_Value and the described lookup on the same key, same device.
void BM_GetValuePair(benchmark::State& state, bool described) {
    Plant plant;
    const auto child = plant.master->GetChildVDevice(11);
    const auto* ac = dynamic_cast<const VOKA_AC*>(child.get());
    const std::string key = "channel_0_a";
    if (!ac || described_lookup(*ac, key) != ac->Get_Value(11, key)) {
        state.SkipWithError("lookups disagree");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(described ? described_lookup(*ac, key) : ac->Get_Value(11, key));
}
BENCHMARK_CAPTURE(BM_GetValuePair, get_value_channel_0_a, false);
BENCHMARK_CAPTURE(BM_GetValuePair, described_channel_0_a, true);

BENCHMARK_CAPTURE(lookup, ac_ia, 11u, std::string("ia"), false);
BENCHMARK_CAPTURE(lookup, ac_ia_alert, 11u, std::string("ia_alert"), false);
BENCHMARK_CAPTURE(lookup, ac_channel_0_a, 11u, std::string("channel_0_a"), false);
BENCHMARK_CAPTURE(lookup, ac_long_200, 11u, kLongKey, false);
BENCHMARK_CAPTURE(lookup, ac_long_200_near_misses, 11u, kLongNearMissKey, false);
BENCHMARK_CAPTURE(lookup, dc_v, 31u, std::string("v"), false);
BENCHMARK_CAPTURE(lookup, ac_channel_9_a_refused, 11u, std::string("channel_9_a"), true);

// N rounds and nothing else, for callgrind (scripts/round-cost.sh collects
// only inside this function).
__attribute__((noinline)) int64_t measured_rounds(Plant& plant, int n) {
    int64_t ended = 0;
    for (int i = 0; i < n; ++i) ended += plant.round();
    return ended;
}

// --measured-rounds=example:N or large:N; 0 when given and done, -1 when not given.
int run_measured_rounds(int argc, char** argv) {
    constexpr std::string_view kFlag = "--measured-rounds=";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.substr(0, kFlag.size()) != kFlag) continue;
        const std::string_view choice = arg.substr(kFlag.size());
        const size_t colon = choice.find(':');
        const std::string site(choice.substr(0, colon));
        const int n = colon == std::string_view::npos ? 100 : std::atoi(std::string(choice.substr(colon + 1)).c_str());
        Plant plant(site == "large" ? SiteSize::large : SiteSize::example);
        plant.round();  // every buffer at its working size first
        const int64_t ended = measured_rounds(plant, n);
        std::printf("%s site: %lld of %d rounds ended cleanly\n", site.c_str(), static_cast<long long>(ended), n);
        return ended == n && plant.controller->logs == 0 ? 0 : 1;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int rc = run_measured_rounds(argc, argv); rc >= 0) return rc;
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
