#pragma once
// DC devices for tests and fuzzing beside VOKA_DC: the template over other
// record sizes, with its own (float) analog parser and no rules of its own.
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin/dc/pmbus_power_dc.h"

template <class Record>
class GenericDC final : public PMBusPowerDC<Record, 7001> {
public:
    using PMBusPowerDC<Record, 7001>::PMBusPowerDC;
    void DoImpCheckAlert() override {}
};

// Room for every optional part, each with a different capacity.
using WideDcRecord = tele_c_pmbuspower_dc<2, 1, 2, 2, 3>;
using WideDC = GenericDC<WideDcRecord>;

template <class Record>
std::vector<uint8_t> bytes_of(const Record& record) {
    const auto* b = reinterpret_cast<const uint8_t*>(&record);
    return {b, b + sizeof record};
}

// A float as the template's analog answer carries it: 4 bytes, least significant first.
inline void append_f32(std::vector<uint8_t>& out, float value) {
    const auto raw = std::bit_cast<std::array<uint8_t, 4>>(value);
    out.insert(out.end(), raw.begin(), raw.end());
}
