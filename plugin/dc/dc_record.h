#pragma once
// The DC distribution record as it is published, stored and reloaded: one
// packed record, multi-byte fields little-endian, floats IEEE-754 single
// precision.
//
// The five template arguments are capacities: how many values or states of
// each optional part the record reserves. The count fields hold what the
// equipment announced, which may be more. A zero size reserves nothing; the
// zero-length array keeps the field's name and offset in the layout.
#include <cstddef>
#include <cstdint>
#include <type_traits>

// M: battery-group currents; N: DC-branch currents; P: user-defined analog
// values; AM: battery-fuse alarm states; AP: user-defined alarm states.
template <unsigned M, unsigned N, unsigned P, unsigned AM, unsigned AP>
struct __attribute__((packed)) tele_c_pmbuspower_dc {
    static constexpr unsigned M_SIZE() { return M; }
    static constexpr unsigned N_SIZE() { return N; }
    static constexpr unsigned P_SIZE() { return P; }
    static constexpr unsigned ALERT_M_SIZE() { return AM; }
    static constexpr unsigned ALERT_P_SIZE() { return AP; }

    uint32_t id;
    float v;  // output voltage
    float i;  // total load current
    uint8_t dc_m;
    float m_values[M];
    uint8_t dc_n;
    float n_values[N];
    uint8_t p_count;
    float p_values[P];
    uint8_t v_state;  // 1 too low, 2 too high
    uint8_t alert_m_count;
    uint8_t alert_m_states[AM];  // 3: fuse faulty
    uint8_t alert_p_count;
    uint8_t alert_p_states[AP];
    uint8_t ttime[7];
};

struct __attribute__((packed)) tele_c_voka_dc : tele_c_pmbuspower_dc<4, 0, 0, 0, 0> {};

// Every offset of a DC record type, from its five sizes alone. The record
// images of all devices built on the template follow this rule.
template <class R>
constexpr bool dc_layout_follows_sizes() {
    constexpr size_t m = R::M_SIZE(), n = R::N_SIZE(), p = R::P_SIZE();
    constexpr size_t am = R::ALERT_M_SIZE(), ap = R::ALERT_P_SIZE();
    return offsetof(R, id) == 0 && offsetof(R, v) == 4 && offsetof(R, i) == 8 && offsetof(R, dc_m) == 12 &&
           offsetof(R, m_values) == 13 && offsetof(R, dc_n) == 13 + 4 * m &&
           offsetof(R, n_values) == 14 + 4 * m && offsetof(R, p_count) == 14 + 4 * (m + n) &&
           offsetof(R, p_values) == 15 + 4 * (m + n) && offsetof(R, v_state) == 15 + 4 * (m + n + p) &&
           offsetof(R, alert_m_count) == 16 + 4 * (m + n + p) &&
           offsetof(R, alert_m_states) == 17 + 4 * (m + n + p) &&
           offsetof(R, alert_p_count) == 17 + 4 * (m + n + p) + am &&
           offsetof(R, alert_p_states) == 18 + 4 * (m + n + p) + am &&
           offsetof(R, ttime) == 18 + 4 * (m + n + p) + am + ap && sizeof(R) == 25 + 4 * (m + n + p) + am + ap &&
           std::is_trivially_copyable_v<R>;
}

#define VOKA_DC_FIELD_AT(field, offset) static_assert(offsetof(tele_c_voka_dc, field) == (offset), "tele_c_voka_dc::" #field)
VOKA_DC_FIELD_AT(id, 0);
VOKA_DC_FIELD_AT(v, 4);
VOKA_DC_FIELD_AT(i, 8);
VOKA_DC_FIELD_AT(dc_m, 12);
VOKA_DC_FIELD_AT(m_values, 13);
VOKA_DC_FIELD_AT(dc_n, 29);
VOKA_DC_FIELD_AT(n_values, 30);
VOKA_DC_FIELD_AT(p_count, 30);
VOKA_DC_FIELD_AT(p_values, 31);
VOKA_DC_FIELD_AT(v_state, 31);
VOKA_DC_FIELD_AT(alert_m_count, 32);
VOKA_DC_FIELD_AT(alert_m_states, 33);
VOKA_DC_FIELD_AT(alert_p_count, 33);
VOKA_DC_FIELD_AT(alert_p_states, 34);
VOKA_DC_FIELD_AT(ttime, 34);
#undef VOKA_DC_FIELD_AT

static_assert(sizeof(tele_c_voka_dc) == 41);
static_assert(std::is_trivially_copyable_v<tele_c_voka_dc>);
static_assert(tele_c_voka_dc::M_SIZE() == 4 && tele_c_voka_dc::N_SIZE() == 0 && tele_c_voka_dc::P_SIZE() == 0 &&
              tele_c_voka_dc::ALERT_M_SIZE() == 0 && tele_c_voka_dc::ALERT_P_SIZE() == 0);
static_assert(dc_layout_follows_sizes<tele_c_voka_dc>());
// The general rule, checked on other arguments than the VOKA ones.
static_assert(dc_layout_follows_sizes<tele_c_pmbuspower_dc<0, 0, 0, 0, 0>>());
static_assert(dc_layout_follows_sizes<tele_c_pmbuspower_dc<2, 3, 1, 2, 5>>());
static_assert(dc_layout_follows_sizes<tele_c_pmbuspower_dc<1, 0, 0, 2, 0>>());
