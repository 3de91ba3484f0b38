#pragma once
// The state of a simulated power system: what its units measure and report.
// The simulator answers commands from this model; scenarios change it over
// time.
#include <array>
#include <cstdint>
#include <vector>

namespace sim {

struct AcChannel {
    float a = 230.0f, b = 230.0f, c = 230.0f;  // volts
    float f = 50.0f;                           // hertz
    std::array<uint8_t, 4> alerts{};           // states of a, b, c, f: 1 low, 2 high, 3 missing
};

struct AcUnit {
    std::vector<AcChannel> channels{AcChannel{}};
    float ia = 10.0f, ib = 10.0f, ic = 10.0f;  // amperes
    std::array<uint8_t, 3> current_alerts{};
    std::vector<uint8_t> airlocks{0};          // switch states
};

struct DcUnit {
    float v = 53.5f;                            // output volts
    float i = 20.0f;                            // load amperes
    std::vector<float> battery_currents{1.0f};  // amperes per battery group
    uint8_t v_state = 0;                        // 1 low, 2 high
};

struct RectifierModule {
    float current = 10.0f;  // amperes
    float user_value = 0.0f;
    std::array<uint8_t, 3> status{};
    uint8_t user_status = 0;
    uint8_t fault = 0;  // 1: faulty
};

struct Site {
    uint8_t ac_dataflag = 0x11;  // switch states and alarms ask to be read
    uint8_t rc_dataflag = 0x11;
    uint8_t dc_dataflag = 0x11;
    std::vector<AcUnit> ac{AcUnit{}};
    std::vector<DcUnit> dc{DcUnit{}};
    float output_voltage = 53.5f;
    std::vector<RectifierModule> modules{3};
    std::array<float, 5> ac_params{280.0f, 180.0f, 55.0f, 45.0f, 100.0f};
    std::array<float, 2> dc_params{57.0f, 45.0f};
    std::array<uint8_t, 102> user_params{};
    char model[21] = "voka";  // the model text the general cycle asks for
};

}  // namespace sim
