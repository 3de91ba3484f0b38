#pragma once
// The AC distribution record as it is published, stored and reloaded: a
// packed header followed by one packed entry per input channel, multi-byte
// fields little-endian, floats IEEE-754 single precision.
//
// Template arguments size the optional parts (a zero size reserves nothing;
// the zero-length arrays keep the field's name and offset in the layout).
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Header. AIRLOCK_MAX: most airlock state bytes a switch-state answer may carry;
// P40_43_SIZE: user-defined status bytes a switch-state answer must carry.
template <uint8_t AIRLOCK_MAX_, uint8_t P40_43_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_ac {
    static constexpr uint8_t AIRLOCK_MAX() { return AIRLOCK_MAX_; }
    static constexpr uint8_t P40_43_SIZE() { return P40_43_SIZE_; }

    uint32_t id;
    float ia;
    float ib;
    float ic;
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock[AIRLOCK_MAX_];
    uint8_t p43_count;
    uint8_t p43[P40_43_SIZE_];
    uint8_t ia_alert;
    uint8_t ib_alert;
    uint8_t ic_alert;
    uint8_t ttime[7];
};

// One input channel. P40_41_SIZE: user-defined analog values per channel;
// p40_44_SIZE: user-defined alarm bytes per channel.
template <uint8_t P40_41_SIZE_, uint8_t P40_44_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_ac_channel {
    static constexpr uint8_t P40_41_SIZE() { return P40_41_SIZE_; }
    static constexpr uint8_t p40_44_SIZE() { return P40_44_SIZE_; }

    float a;  // line/phase voltage AB/A
    float b;  // BC/B
    float c;  // CA/C
    float f;  // frequency
    uint8_t p41_count;
    float p41[P40_41_SIZE_];
    uint8_t a_alert;
    uint8_t b_alert;
    uint8_t c_alert;
    uint8_t f_alert;
    uint8_t p44_count;
    uint8_t p44[P40_44_SIZE_];
};

struct __attribute__((packed)) tele_c_voka_ac : tele_c_pmbuspower_ac<1, 0> {};
struct __attribute__((packed)) tele_c_voka_ac_channel : tele_c_pmbuspower_ac_channel<0, 10> {};

#define VOKA_AC_FIELD_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "::" #field)
VOKA_AC_FIELD_AT(tele_c_voka_ac, id, 0);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ia, 4);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ib, 8);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ic, 12);
VOKA_AC_FIELD_AT(tele_c_voka_ac, channel_count, 16);
VOKA_AC_FIELD_AT(tele_c_voka_ac, airlock_count, 17);
VOKA_AC_FIELD_AT(tele_c_voka_ac, airlock, 18);
VOKA_AC_FIELD_AT(tele_c_voka_ac, p43_count, 19);
VOKA_AC_FIELD_AT(tele_c_voka_ac, p43, 20);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ia_alert, 20);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ib_alert, 21);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ic_alert, 22);
VOKA_AC_FIELD_AT(tele_c_voka_ac, ttime, 23);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, a, 0);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, b, 4);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, c, 8);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, f, 12);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, p41_count, 16);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, p41, 17);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, a_alert, 17);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, b_alert, 18);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, c_alert, 19);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, f_alert, 20);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, p44_count, 21);
VOKA_AC_FIELD_AT(tele_c_voka_ac_channel, p44, 22);
#undef VOKA_AC_FIELD_AT

static_assert(sizeof(tele_c_voka_ac) == 30);
static_assert(sizeof(tele_c_voka_ac_channel) == 32);
static_assert(std::is_trivially_copyable_v<tele_c_voka_ac>);
static_assert(std::is_trivially_copyable_v<tele_c_voka_ac_channel>);
// The general sizing rule, checked on other arguments than the VOKA ones.
static_assert(sizeof(tele_c_pmbuspower_ac<3, 2>) == 29 + 3 + 2);
static_assert(sizeof(tele_c_pmbuspower_ac_channel<2, 4>) == 22 + 4 * 2 + 4);
