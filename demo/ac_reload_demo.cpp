// Shows an AC distribution device brought back from a stored image and asked
// for values by key, as the host does after a restart: each answer or refusal.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin/ac/voka_ac.h"

namespace {

std::vector<uint8_t> stored_image() {
    tele_c_voka_ac header{};
    header.id = 1001;
    header.ia = 12.3f;
    header.ib = 12.4f;
    header.ic = -0.1f;  // current missing
    header.channel_count = 2;
    header.ia_alert = 2;
    std::vector<uint8_t> image(sizeof header);
    std::memcpy(image.data(), &header, sizeof header);
    const float volts[2][4] = {{230.0f, 231.0f, 229.0f, 50.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
    for (const auto& v : volts) {
        tele_c_voka_ac_channel ch{};
        ch.a = v[0];
        ch.b = v[1];
        ch.c = v[2];
        ch.f = v[3];
        const auto* b = reinterpret_cast<const uint8_t*>(&ch);
        image.insert(image.end(), b, b + sizeof ch);
    }
    return image;
}

}  // namespace

int main() {
    auto device = std::make_shared<VOKA_AC>();
    const auto image = stored_image();
    std::printf("before reload, \"ia\": ");
    try {
        std::printf("%g\n", device->Get_Value(0, "ia"));
    } catch (const std::out_of_range& e) {
        std::printf("refused: %s\n", e.what());
    }
    const bool accepted = device->LoadFromCache(image.data(), static_cast<int>(image.size()));
    std::printf("reload of a %zu-byte image: %s\n", image.size(), accepted ? "accepted" : "refused");
    std::printf("reload of the same image cut short: %s\n",
                device->LoadFromCache(image.data(), static_cast<int>(image.size()) - 1) ? "accepted" : "refused");
    for (const char* key : {"ia", "ib", "ic", "ia_alert", "channel_0_a", "channel_0_frequency", "xchannel_1_a",
                            "channel_2_a", "channel_0_x", "voltage"}) {
        std::printf("%-22s ", key);
        try {
            std::printf("%g\n", device->Get_Value(0, key));
        } catch (const std::out_of_range& e) {
            std::printf("refused: %s\n", e.what());
        }
    }
    return accepted ? 0 : 1;
}
