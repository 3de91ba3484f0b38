#include "host_program/line/answer_time.h"

#include <fmt/format.h>

#include "line/frame_codec.h"
#include "simulator/answers.h"

namespace {

// A site of the configured shape, the longest answers each unit can give.
sim::Site shape_of(const PowerSystemConfig& ps) {
    const Json::Value& ac = ps.element["acSetting"];
    const Json::Value& dc = ps.element["dcSetting"];
    sim::Site site;
    site.ac.assign(ac.isArray() ? ac.size() : 0, sim::AcUnit{});
    // The AC analog answer's unit count is read as the first unit's channel count.
    if (!site.ac.empty()) site.ac[0].channels.assign(site.ac.size(), sim::AcChannel{});
    site.dc.assign(dc.isArray() ? dc.size() : 0, sim::DcUnit{});
    for (auto& unit : site.dc) unit.battery_currents.assign(4, 0.0f);
    site.modules.assign(ps.rectifier_modules, sim::RectifierModule{});
    return site;
}

constexpr uint8_t kCommands[][2] = {{0x40, 0x42}, {0x40, 0x43}, {0x40, 0x44}, {0x40, 0x47}, {0x41, 0x42},
                                    {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x42}, {0x42, 0x44}, {0x42, 0x47}};

}  // namespace

std::map<uint16_t, int> answer_wire_ms(const PowerSystemConfig& ps, int baud_rate) {
    const sim::Site site = shape_of(ps);
    std::map<uint16_t, int> times;
    for (const auto& [cid1, cid2] : kCommands) {
        if (cid1 == 0x40 && site.ac.empty()) continue;  // never sent without AC devices
        const auto info = sim::answer_info(site, sim::CommandSet::voka, cid1, cid2);
        if (!info) continue;
        const long long bytes = 2 + static_cast<long long>(frame::kMinChars + 2 * info->size());  // SOI, EOI
        times[static_cast<uint16_t>(cid1 << 8 | cid2)] =
            static_cast<int>((bytes * 10 * 1000 + baud_rate - 1) / baud_rate);
    }
    return times;
}

std::string check_answer_timeout(const PowerSystemConfig& ps, int baud_rate, int timeout_ms) {
    uint16_t longest = 0;
    int longest_ms = 0;
    for (const auto& [command, ms] : answer_wire_ms(ps, baud_rate))
        if (ms > longest_ms) longest = command, longest_ms = ms;
    if (timeout_ms >= longest_ms) return {};
    return fmt::format(
        "power system \"{}\": answer_timeout_ms {} is shorter than the longest answer takes on the wire: the answer "
        "to CID1 0x{:02X} CID2 0x{:02X} needs {} ms at {} baud",
        ps.name, timeout_ms, longest >> 8, longest & 0xFF, longest_ms, baud_rate);
}
