#pragma once
// Builds stored AC images field by field, the way a device publishes them.
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin/ac/ac_record.h"

struct AcChannelValues {
    float a = 0, b = 0, c = 0, f = 0;
    uint8_t a_alert = 0, b_alert = 0, c_alert = 0, f_alert = 0;
};

inline std::vector<uint8_t> make_ac_image(uint32_t id, float ia, uint8_t ia_alert,
                                          const std::vector<AcChannelValues>& channels, uint8_t ib_alert = 0,
                                          uint8_t ic_alert = 0) {
    tele_c_voka_ac header{};
    header.id = id;
    header.ia = ia;
    header.ib = ia + 1;
    header.ic = ia + 2;
    header.channel_count = static_cast<uint8_t>(channels.size());
    header.ia_alert = ia_alert;
    header.ib_alert = ib_alert;
    header.ic_alert = ic_alert;
    std::vector<uint8_t> image(sizeof header);
    std::memcpy(image.data(), &header, sizeof header);
    for (const auto& v : channels) {
        tele_c_voka_ac_channel ch{};
        ch.a = v.a;
        ch.b = v.b;
        ch.c = v.c;
        ch.f = v.f;
        ch.a_alert = v.a_alert;
        ch.b_alert = v.b_alert;
        ch.c_alert = v.c_alert;
        ch.f_alert = v.f_alert;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&ch);
        image.insert(image.end(), bytes, bytes + sizeof ch);
    }
    return image;
}
