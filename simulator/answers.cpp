#include "simulator/answers.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

class InfoWriter {
public:
    void u8(uint8_t v) { bytes_.push_back(v); }
    // Unsigned 16-bit fixed point: value × scale, most significant byte first.
    void be16(float value, float scale) { put16(to_u16(value, scale), true); }
    // The same, least significant byte first.
    void le16(float value, float scale) { put16(to_u16(value, scale), false); }
    void f32(float value) {
        const auto raw = std::bit_cast<std::array<uint8_t, 4>>(value);
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
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
    std::vector<uint8_t> bytes_;
};

uint8_t count_of(size_t n) { return static_cast<uint8_t>(std::min<size_t>(n, 255)); }

// ---- "voka" command set: 16-bit fixed point ----

std::vector<uint8_t> voka_ac_analog(const Site& s) {
    InfoWriter w;
    w.u8(s.ac_dataflag);
    w.u8(count_of(s.ac.size()));  // also the first unit's channel count
    for (size_t u = 0; u < s.ac.size(); ++u) {
        const AcUnit& unit = s.ac[u];
        if (u > 0) w.u8(count_of(unit.channels.size()));
        for (const AcChannel& ch : unit.channels) {
            w.be16(ch.a, 1);
            w.be16(ch.b, 1);
            w.be16(ch.c, 1);
            w.be16(ch.f, 100);
            w.u8(0);  // no user-defined values
        }
        w.be16(unit.ia, 10);
        w.be16(unit.ib, 10);
        w.be16(unit.ic, 10);
    }
    return w.take();
}

std::vector<uint8_t> ac_switch_states(const Site& s, bool general) {
    InfoWriter w;
    w.u8(s.ac_dataflag);
    if (general) w.u8(count_of(s.ac.size()));
    for (const AcUnit& unit : s.ac) {
        w.u8(count_of(unit.airlocks.size()));
        w.raw(unit.airlocks.data(), unit.airlocks.size());
        w.u8(0);  // no user-defined states
    }
    return w.take();
}

std::vector<uint8_t> ac_alarms(const Site& s, bool general) {
    InfoWriter w;
    w.u8(s.ac_dataflag);
    if (general) w.u8(count_of(s.ac.size()));
    for (const AcUnit& unit : s.ac) {
        w.u8(count_of(unit.channels.size()));
        for (const AcChannel& ch : unit.channels) {
            w.raw(ch.alerts.data(), ch.alerts.size());
            w.u8(0);   // no extra items
            w.u8(10);  // ten user-defined alarm bytes, all clear
            for (int k = 0; k < 10; ++k) w.u8(0);
        }
        w.raw(unit.current_alerts.data(), unit.current_alerts.size());
    }
    return w.take();
}

std::vector<uint8_t> voka_rc_analog(const Site& s) {
    InfoWriter w;
    w.u8(s.rc_dataflag);
    w.be16(s.output_voltage, 10);
    w.u8(count_of(s.modules.size()));
    for (const RectifierModule& m : s.modules) {
        w.be16(m.current, 10);
        w.u8(1);
        w.be16(m.user_value, 10);
    }
    return w.take();
}

std::vector<uint8_t> rc_status(const Site& s) {
    InfoWriter w;
    w.u8(s.rc_dataflag);
    w.u8(count_of(s.modules.size()));
    for (const RectifierModule& m : s.modules) {
        w.raw(m.status.data(), m.status.size());
        w.u8(1);
        w.u8(m.user_status);
    }
    return w.take();
}

std::vector<uint8_t> rc_alarms(const Site& s) {
    InfoWriter w;
    w.u8(s.rc_dataflag);
    w.u8(count_of(s.modules.size()));
    for (const RectifierModule& m : s.modules) {
        w.u8(m.fault);
        w.u8(0);  // no user-defined alarms
    }
    return w.take();
}

std::vector<uint8_t> voka_dc_analog(const Site& s) {
    InfoWriter w;
    w.u8(s.dc_dataflag);
    w.u8(count_of(s.dc.size()));
    for (const DcUnit& unit : s.dc) {
        w.be16(unit.v, 10);
        w.be16(unit.i, 10);
        w.u8(count_of(unit.battery_currents.size()));
        for (float a : unit.battery_currents) w.be16(a, 10);
        w.u8(0);  // no branches
        w.u8(0);  // no user-defined values
    }
    return w.take();
}

std::vector<uint8_t> dc_alarms(const Site& s) {
    InfoWriter w;
    w.u8(s.dc_dataflag);
    w.u8(count_of(s.dc.size()));
    for (const DcUnit& unit : s.dc) {
        w.u8(unit.v_state);
        w.u8(0);  // no fuse states
        w.u8(0);  // no user-defined states
    }
    return w.take();
}

std::vector<uint8_t> voka_ac_params(const Site& s) {
    InfoWriter w;
    for (float p : s.ac_params) w.le16(p, 10);
    w.u8(0);
    return w.take();
}

std::vector<uint8_t> voka_dc_params(const Site& s) {
    InfoWriter w;
    for (float p : s.dc_params) w.be16(p, 10);
    w.u8(51);
    w.raw(s.user_params.data(), s.user_params.size());
    return w.take();
}

// ---- general command set: 4-byte floats ----

std::vector<uint8_t> general_ac_analog(const Site& s) {
    InfoWriter w;
    w.u8(s.ac_dataflag);
    w.u8(count_of(s.ac.size()));
    for (const AcUnit& unit : s.ac) {
        w.u8(count_of(unit.channels.size()));
        for (const AcChannel& ch : unit.channels) {
            w.f32(ch.a);
            w.f32(ch.b);
            w.f32(ch.c);
            w.f32(ch.f);
            w.u8(0);
        }
        w.f32(unit.ia);
        w.f32(unit.ib);
        w.f32(unit.ic);
    }
    return w.take();
}

std::vector<uint8_t> general_rc_analog(const Site& s) {
    InfoWriter w;
    w.u8(s.rc_dataflag);
    w.f32(s.output_voltage);
    w.u8(count_of(s.modules.size()));
    for (const RectifierModule& m : s.modules) {
        w.f32(m.current);
        w.u8(1);
        w.f32(m.user_value);
    }
    return w.take();
}

std::vector<uint8_t> general_dc_analog(const Site& s) {
    InfoWriter w;
    w.u8(s.dc_dataflag);
    w.u8(count_of(s.dc.size()));
    for (const DcUnit& unit : s.dc) {
        w.f32(unit.v);
        w.f32(unit.i);
        w.u8(count_of(unit.battery_currents.size()));
        for (float a : unit.battery_currents) w.f32(a);
        w.u8(0);
        w.u8(0);
    }
    return w.take();
}

std::vector<uint8_t> general_ac_params(const Site& s) {
    InfoWriter w;
    for (float p : s.ac_params) w.f32(p);
    w.u8(0);
    return w.take();
}

std::vector<uint8_t> general_dc_params(const Site& s) {
    InfoWriter w;
    for (float p : s.dc_params) w.f32(p);
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
    const bool general = set == CommandSet::general;
    const uint8_t analog = general ? 0x41 : 0x42;
    const uint8_t params = general ? 0x46 : 0x47;
    if (cid1 == 0x40) {
        if (cid2 == analog) return general ? general_ac_analog(site) : voka_ac_analog(site);
        if (cid2 == 0x43) return ac_switch_states(site, general);
        if (cid2 == 0x44) return ac_alarms(site, general);
        if (cid2 == params) return general ? general_ac_params(site) : voka_ac_params(site);
        if (cid2 == 0x51 && general) return model_text(site);
    } else if (cid1 == 0x41) {
        if (cid2 == analog) return general ? general_rc_analog(site) : voka_rc_analog(site);
        if (cid2 == 0x43) return rc_status(site);
        if (cid2 == 0x44) return rc_alarms(site);
    } else if (cid1 == 0x42) {
        if (cid2 == analog) return general ? general_dc_analog(site) : voka_dc_analog(site);
        if (cid2 == 0x44) return dc_alarms(site);
        if (cid2 == params) return general ? general_dc_params(site) : voka_dc_params(site);
    }
    return std::nullopt;
}

std::optional<size_t> unit_count_offset(CommandSet set, uint8_t cid1, uint8_t cid2) {
    const bool general = set == CommandSet::general;
    const uint8_t analog = general ? 0x41 : 0x42;
    // Every count follows the DATAFLAG, except the rectifier analog answer's,
    // which follows the output voltage (2 bytes fixed point, 4 as a float).
    if (cid1 == 0x40 && (cid2 == analog || (general && (cid2 == 0x43 || cid2 == 0x44)))) return 1;
    if (cid1 == 0x41 && cid2 == analog) return general ? 5 : 3;
    if (cid1 == 0x41 && (cid2 == 0x43 || cid2 == 0x44)) return 1;
    if (cid1 == 0x42 && (cid2 == analog || cid2 == 0x44)) return 1;
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
