#pragma once
// The rectifier record as it is published, stored and reloaded: a packed
// record followed by one packed entry per rectifier module, multi-byte fields
// little-endian, floats IEEE-754 single precision.
//
// Template arguments size the user-defined parts (a zero size reserves
// nothing; the zero-length array keeps the field's name and offset).
#include <cstddef>
#include <cstdint>
#include <type_traits>

// P42_46_NUMBER: user-defined parameters a DC parameter answer must carry;
// P42_46_SIZE: bytes the record reserves for them.
template <uint8_t P42_46_NUMBER_, uint8_t P42_46_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_rc {
    static constexpr uint8_t P42_46_NUMBER() { return P42_46_NUMBER_; }
    static constexpr uint8_t P42_46_SIZE() { return P42_46_SIZE_; }

    uint32_t id;
    float ac_param[5];  // AC distribution parameters, in the order received
    float dc_param[2];  // DC distribution parameters, in the order received
    uint8_t p46_count;
    uint8_t p46[P42_46_SIZE_];  // raw as received
    float output_voltage;
    uint8_t channel_count;  // number of module entries after the record
    uint8_t ttime[7];
};

// One rectifier module. P41_41_SIZE: user-defined analog values per module
// (4-byte floats); P41_43_SIZE: user-defined state bytes; P41_44_SIZE:
// user-defined alarm bytes.
template <uint8_t P41_41_SIZE_, uint8_t P41_43_SIZE_, uint8_t P41_44_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_rc_channel {
    static constexpr uint8_t P41_41_SIZE() { return P41_41_SIZE_; }
    static constexpr uint8_t P41_43_SIZE() { return P41_43_SIZE_; }
    static constexpr uint8_t P41_44_SIZE() { return P41_44_SIZE_; }

    float current;
    uint8_t p41_count;
    float p41[P41_41_SIZE_];
    uint8_t status[3];
    uint8_t p43_count;
    uint8_t p43[P41_43_SIZE_];
    uint8_t fault;  // 1: the module is faulty
    uint8_t p44_count;
    uint8_t p44[P41_44_SIZE_];
};

struct __attribute__((packed)) tele_c_voka_rc : tele_c_pmbuspower_rc<51, 102> {};
struct __attribute__((packed)) tele_c_voka_rc_channel : tele_c_pmbuspower_rc_channel<1, 1, 0> {};

// Every offset follows from the field order and the sizes; checked for any
// arguments so that a record type with other sizes gets the same layout.
template <class Rec>
constexpr bool rc_record_layout_holds() {
    constexpr size_t s = Rec::P42_46_SIZE();
    return offsetof(Rec, id) == 0 && offsetof(Rec, ac_param) == 4 && offsetof(Rec, dc_param) == 24 &&
           offsetof(Rec, p46_count) == 32 && offsetof(Rec, p46) == 33 && offsetof(Rec, output_voltage) == 33 + s &&
           offsetof(Rec, channel_count) == 37 + s && offsetof(Rec, ttime) == 38 + s && sizeof(Rec) == 45 + s &&
           std::is_trivially_copyable_v<Rec>;
}

template <class Ch>
constexpr bool rc_channel_layout_holds() {
    constexpr size_t p41 = Ch::P41_41_SIZE(), p43 = Ch::P41_43_SIZE(), p44 = Ch::P41_44_SIZE();
    return offsetof(Ch, current) == 0 && offsetof(Ch, p41_count) == 4 && offsetof(Ch, p41) == 5 &&
           offsetof(Ch, status) == 5 + 4 * p41 && offsetof(Ch, p43_count) == 8 + 4 * p41 &&
           offsetof(Ch, p43) == 9 + 4 * p41 && offsetof(Ch, fault) == 9 + 4 * p41 + p43 &&
           offsetof(Ch, p44_count) == 10 + 4 * p41 + p43 && offsetof(Ch, p44) == 11 + 4 * p41 + p43 &&
           sizeof(Ch) == 11 + 4 * p41 + p43 + p44 && std::is_trivially_copyable_v<Ch>;
}

#define VOKA_RC_FIELD_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "::" #field)
VOKA_RC_FIELD_AT(tele_c_voka_rc, id, 0);
VOKA_RC_FIELD_AT(tele_c_voka_rc, ac_param, 4);
VOKA_RC_FIELD_AT(tele_c_voka_rc, dc_param, 24);
VOKA_RC_FIELD_AT(tele_c_voka_rc, p46_count, 32);
VOKA_RC_FIELD_AT(tele_c_voka_rc, p46, 33);
VOKA_RC_FIELD_AT(tele_c_voka_rc, output_voltage, 135);
VOKA_RC_FIELD_AT(tele_c_voka_rc, channel_count, 139);
VOKA_RC_FIELD_AT(tele_c_voka_rc, ttime, 140);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, current, 0);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, p41_count, 4);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, p41, 5);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, status, 9);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, p43_count, 12);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, p43, 13);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, fault, 14);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, p44_count, 15);
VOKA_RC_FIELD_AT(tele_c_voka_rc_channel, p44, 16);
#undef VOKA_RC_FIELD_AT

static_assert(sizeof(tele_c_voka_rc) == 147);
static_assert(sizeof(tele_c_voka_rc_channel) == 16);
static_assert(std::is_trivially_copyable_v<tele_c_voka_rc>);
static_assert(std::is_trivially_copyable_v<tele_c_voka_rc_channel>);
static_assert(tele_c_voka_rc::P42_46_NUMBER() == 51 && tele_c_voka_rc::P42_46_SIZE() == 102);
static_assert(tele_c_voka_rc_channel::P41_41_SIZE() == 1 && tele_c_voka_rc_channel::P41_43_SIZE() == 1 &&
              tele_c_voka_rc_channel::P41_44_SIZE() == 0);
static_assert(rc_record_layout_holds<tele_c_voka_rc>());
static_assert(rc_channel_layout_holds<tele_c_voka_rc_channel>());
// The general sizing rule, on other arguments than the VOKA ones.
static_assert(rc_record_layout_holds<tele_c_pmbuspower_rc<0, 0>>());
static_assert(rc_record_layout_holds<tele_c_pmbuspower_rc<4, 9>>());
static_assert(rc_channel_layout_holds<tele_c_pmbuspower_rc_channel<0, 0, 0>>());
static_assert(rc_channel_layout_holds<tele_c_pmbuspower_rc_channel<2, 3, 4>>());
