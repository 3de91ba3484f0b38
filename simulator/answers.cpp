#include "simulator/answers.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

using protocol::Answer;

class InfoWriter {
public:
    explicit InfoWriter(CommandSet set) : set_(set) {}
    void u8(uint8_t v) { bytes_.push_back(v); }
    // Unsigned 16-bit fixed point: value × scale, most significant byte first.
    void be16(float value, float scale) { put16(to_u16(value, scale), true); }
    // The same, least significant byte first.
    void le16(float value, float scale) { put16(to_u16(value, scale), false); }
    void f32(float value) {
        const auto raw = std::bit_cast<std::array<uint8_t, 4>>(value);
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    }
    // An analog value as the command set sends it: fixed point (value × scale)
    // or a float.
    void value(float v, float scale) {
        if (set_ == CommandSet::general)
            f32(v);
        else
            be16(v, scale);
    }
    void raw(const uint8_t* data, size_t n) { bytes_.insert(bytes_.end(), data, data + n); }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    static uint16_t to_u16(float value, float scale) {
        const float scaled = std::round(value * scale);
        return static_cast<uint16_t>(std::clamp(scaled, 0.0f, 65535.0f));
    }
    void put16(uint16_t v, bool big_endian) {
        const uint8_t hi = static_cast<uint8_t>(v >> 8), lo = static_cast<uint8_t>(v);
        u8(big_endian ? hi : lo);
        u8(big_endian ? lo : hi);
    }
    CommandSet set_;
    std::vector<uint8_t> bytes_;
};

uint8_t count_of(size_t n) { return static_cast<uint8_t>(std::min<size_t>(n, 255)); }

std::vector<uint8_t> ac_analog(const Site& s, CommandSet set) {
    InfoWriter w(set);
    w.u8(s.ac_dataflag);
    w.u8(count_of(s.ac.size()));  // in the "voka" set also the first unit's channel count
    for (size_t u = 0; u < s.ac.size(); ++u) {
        const AcUnit& unit = s.ac[u];
        if (u > 0 || set == CommandSet::general) w.u8(count_of(unit.channels.size()));
        for (const AcChannel& ch : unit.channels) {
            w.value(ch.a, 1);
            w.value(ch.b, 1);
            w.value(ch.c, 1);
            w.value(ch.f, 100);
            w.u8(0);  // no user-defined values
        }
        w.value(unit.ia, 10);
        w.value(unit.ib, 10);
        w.value(unit.ic, 10);
    }
    return w.take();
}

// DATAFLAG, the count of `units` (unless `counted` is false), then each unit
// as `write_unit` writes it.
template <class Units, class WriteUnit>
std::vector<uint8_t> counted_units(CommandSet set, uint8_t dataflag, const Units& units, WriteUnit write_unit,
                                   bool counted = true) {
    InfoWriter w(set);
    w.u8(dataflag);
    if (counted) w.u8(count_of(units.size()));
    for (const auto& unit : units) write_unit(w, unit);
    return w.take();
}

// The "voka" set counts the AC units in its analog answer only.
std::vector<uint8_t> ac_switch_states(const Site& s, CommandSet set) {
    return counted_units(
        set, s.ac_dataflag, s.ac,
        [](InfoWriter& w, const AcUnit& unit) {
            w.u8(count_of(unit.airlocks.size()));
            w.raw(unit.airlocks.data(), unit.airlocks.size());
            w.u8(0);  // no user-defined states
        },
        set == CommandSet::general);
}

std::vector<uint8_t> ac_alarms(const Site& s, CommandSet set) {
    return counted_units(
        set, s.ac_dataflag, s.ac,
        [](InfoWriter& w, const AcUnit& unit) {
            w.u8(count_of(unit.channels.size()));
            for (const AcChannel& ch : unit.channels) {
                w.raw(ch.alerts.data(), ch.alerts.size());
                w.u8(0);   // no extra items
                w.u8(10);  // ten user-defined alarm bytes, all clear
                for (int k = 0; k < 10; ++k) w.u8(0);
            }
            w.raw(unit.current_alerts.data(), unit.current_alerts.size());
        },
        set == CommandSet::general);
}

std::vector<uint8_t> ac_params(const Site& s, CommandSet set) {
    InfoWriter w(set);
    for (float p : s.ac_params) {
        if (set == CommandSet::voka)
            w.le16(p, 10);  // this one answer of the set sends its fixed point low byte first
        else
            w.value(p, 10);
    }
    w.u8(0);
    return w.take();
}

std::vector<uint8_t> rc_analog(const Site& s, CommandSet set) {
    InfoWriter w(set);
    w.u8(s.rc_dataflag);
    w.value(s.output_voltage, 10);
    w.u8(count_of(s.modules.size()));
    for (const RectifierModule& m : s.modules) {
        w.value(m.current, 10);
        w.u8(1);
        w.value(m.user_value, 10);
    }
    return w.take();
}

std::vector<uint8_t> rc_status(const Site& s, CommandSet set) {
    return counted_units(set, s.rc_dataflag, s.modules, [](InfoWriter& w, const RectifierModule& m) {
        w.raw(m.status.data(), m.status.size());
        w.u8(1);
        w.u8(m.user_status);
    });
}

std::vector<uint8_t> rc_alarms(const Site& s, CommandSet set) {
    return counted_units(set, s.rc_dataflag, s.modules, [](InfoWriter& w, const RectifierModule& m) {
        w.u8(m.fault);
        w.u8(0);  // no user-defined alarms
    });
}

std::vector<uint8_t> dc_analog(const Site& s, CommandSet set) {
    return counted_units(set, s.dc_dataflag, s.dc, [](InfoWriter& w, const DcUnit& unit) {
        w.value(unit.v, 10);
        w.value(unit.i, 10);
        w.u8(count_of(unit.battery_currents.size()));
        for (float a : unit.battery_currents) w.value(a, 10);
        w.u8(0);  // no branches
        w.u8(0);  // no user-defined values
    });
}

std::vector<uint8_t> dc_alarms(const Site& s, CommandSet set) {
    return counted_units(set, s.dc_dataflag, s.dc, [](InfoWriter& w, const DcUnit& unit) {
        w.u8(unit.v_state);
        w.u8(0);  // no fuse states
        w.u8(0);  // no user-defined states
    });
}

std::vector<uint8_t> dc_params(const Site& s, CommandSet set) {
    InfoWriter w(set);
    for (float p : s.dc_params) w.value(p, 10);
    w.u8(51);
    w.raw(s.user_params.data(), s.user_params.size());
    return w.take();
}

std::vector<uint8_t> model_text(const Site& s) {
    std::vector<uint8_t> text(20, ' ');
    std::memcpy(text.data(), s.model, std::min<size_t>(20, std::strlen(s.model)));
    return text;
}

}  // namespace

std::optional<std::vector<uint8_t>> answer_info(const Site& site, CommandSet set, uint8_t cid1, uint8_t cid2) {
    const protocol::Command* command = protocol::commands(set).find(cid1, cid2);
    if (!command) return std::nullopt;
    switch (command->answer) {
        case Answer::ac_analog: return ac_analog(site, set);
        case Answer::ac_switch_states: return ac_switch_states(site, set);
        case Answer::ac_alarms: return ac_alarms(site, set);
        case Answer::ac_params: return ac_params(site, set);
        case Answer::rc_analog: return rc_analog(site, set);
        case Answer::rc_status: return rc_status(site, set);
        case Answer::rc_alarms: return rc_alarms(site, set);
        case Answer::dc_analog: return dc_analog(site, set);
        case Answer::dc_alarms: return dc_alarms(site, set);
        case Answer::dc_params: return dc_params(site, set);
        case Answer::model: return model_text(site);
    }
    return std::nullopt;
}

std::string validate_site(const Site& site, CommandSet set) {
    if (site.modules.size() > 255 || site.ac.size() > 255 || site.dc.size() > 255)
        return "at most 255 AC units, DC units and rectifier modules";
    if (set == CommandSet::voka && !site.ac.empty() && site.ac[0].channels.size() != site.ac.size())
        return "the first AC unit must have as many channels as there are AC units "
               "(its answer's unit count is read as that unit's channel count)";
    for (const AcUnit& unit : site.ac)
        if (unit.channels.empty() || unit.channels.size() > 255 || unit.airlocks.size() > 1)
            return "each AC unit needs 1 to 255 channels and at most one switch state";
    for (const DcUnit& unit : site.dc)
        if (unit.battery_currents.size() > 4) return "each DC unit has at most 4 battery groups";
    return {};
}

}  // namespace sim
