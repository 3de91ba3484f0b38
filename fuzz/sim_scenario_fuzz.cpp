// Reads arbitrary text as a scenario. Text that is refused must be refused
// with a ScenarioError only; a scenario that is accepted must give a site for
// any round and answer a whole round of either command set with frames the
// host can decode, faults and all.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/line/frame_codec.h"
#include "simulator/scenario.h"
#include "simulator/simulated_power_system.h"

namespace {

void require(bool holds) {
    if (!holds) abort();
}

constexpr uint8_t kCommands[][2] = {{0x40, 0x51}, {0x40, 0x42}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44},
                                    {0x41, 0x42}, {0x41, 0x41}, {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x42},
                                    {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x47}, {0x40, 0x46}, {0x42, 0x47},
                                    {0x42, 0x46}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Scenario scenario;
    try {
        scenario = sim::parse_scenario({reinterpret_cast<const char*>(data), size}, "fuzz.json");
    } catch (const sim::ScenarioError&) {
        return 0;
    }
    const uint8_t address = scenario.equipment.address;
    sim::SimulatedPowerSystem system(std::move(scenario));
    frame::Decoder decoder(frame::Decoder::Direction::answers);
    for (int round = 0; round < 3; ++round) {
        for (const auto& c : kCommands) {
            const auto command = frame::encode_command(0x20, address, c[0], c[1], {}).value();
            for (const sim::Answer& a : system.feed(command)) {
                require(a.delay_ms >= 0);
                for (uint8_t b : a.bytes)
                    if (decoder.push(b) == frame::Decoder::Step::frame) require(decoder.frame()[1] == address);
            }
        }
    }
    return 0;
}
