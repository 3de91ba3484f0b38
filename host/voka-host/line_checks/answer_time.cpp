#include "host/voka-host/line_checks/answer_time.h"

#include <fmt/format.h>

#include "protocol/commands.h"

namespace {

// The configured shape, counted as the longest answers each unit gives: the
// first AC unit with as many channels as there are units (the "voka" set reads
// its channel count from the unit count), the others with one; one switch
// state an AC unit; four battery groups a DC unit.
protocol::Counts counts_of(const PowerSystemConfig& ps) {
    const Json::Value& ac = ps.element["acSetting"];
    const Json::Value& dc = ps.element["dcSetting"];
    const size_t ac_units = ac.isArray() ? ac.size() : 0, dc_units = dc.isArray() ? dc.size() : 0;
    return {.ac_units = ac_units, .ac_channels = ac_units ? 2 * ac_units - 1 : 0, .ac_switch_states = ac_units,
            .dc_units = dc_units, .battery_groups = 4 * dc_units, .modules = ps.rectifier_modules};
}

}  // namespace

std::map<uint16_t, int> answer_wire_ms(const PowerSystemConfig& ps, int baud_rate) {
    const protocol::Counts counts = counts_of(ps);
    std::map<uint16_t, int> times;
    for (const protocol::Command& c : protocol::kVokaSet) {
        if (c.cid1 == protocol::kCidAc && counts.ac_units == 0) continue;  // never sent without AC devices
        times[static_cast<uint16_t>(c.cid1 << 8 | c.cid2)] =
            protocol::wire_ms(protocol::frame_bytes(protocol::info_bytes(c, counts)), baud_rate);
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
