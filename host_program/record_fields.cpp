#include "host_program/record_fields.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "ac/ac_record.h"
#include "dc/dc_record.h"
#include "rc/rc_record.h"

namespace {

template <class T>
T read_at(std::span<const uint8_t> image, size_t offset) {
    T value;
    std::memcpy(&value, image.data() + offset, sizeof value);
    return value;
}

// Floats shown as the record holds them, rounded for reading.
Json::Value number(float v) { return Json::Value(std::round(static_cast<double>(v) * 1000.0) / 1000.0); }

std::string stamp(const uint8_t* t) {
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t[0] | t[1] << 8, t[2], t[3], t[4], t[5], t[6]);
}

Json::Value bytes(const uint8_t* b, size_t n) {
    Json::Value a(Json::arrayValue);
    for (size_t i = 0; i < n; ++i) a.append(b[i]);
    return a;
}

Json::Value error(const std::string& what) {
    Json::Value v(Json::objectValue);
    v["error"] = what;
    return v;
}

Json::Value ac(std::span<const uint8_t> image) {
    constexpr size_t kHeader = sizeof(tele_c_voka_ac), kChannel = sizeof(tele_c_voka_ac_channel);
    if (image.size() < kHeader || (image.size() - kHeader) % kChannel != 0) return error("not an AC image");
    const auto h = read_at<tele_c_voka_ac>(image, 0);
    if (image.size() != kHeader + kChannel * h.channel_count) return error("channel count does not match the image");
    Json::Value v(Json::objectValue);
    v["id"] = h.id;
    v["ia"] = number(h.ia);
    v["ib"] = number(h.ib);
    v["ic"] = number(h.ic);
    v["ia_alert"] = h.ia_alert;
    v["ib_alert"] = h.ib_alert;
    v["ic_alert"] = h.ic_alert;
    v["airlock"] = bytes(h.airlock, std::min<size_t>(h.airlock_count, tele_c_voka_ac::AIRLOCK_MAX()));
    v["time"] = stamp(h.ttime);
    Json::Value channels(Json::arrayValue);
    for (size_t i = 0; i < h.channel_count; ++i) {
        const auto ch = read_at<tele_c_voka_ac_channel>(image, kHeader + i * kChannel);
        Json::Value c(Json::objectValue);
        c["a"] = number(ch.a);
        c["b"] = number(ch.b);
        c["c"] = number(ch.c);
        c["f"] = number(ch.f);
        c["alerts"] = bytes(&ch.a_alert, 4);
        channels.append(c);
    }
    v["channels"] = channels;
    return v;
}

Json::Value dc(std::span<const uint8_t> image) {
    if (image.size() != sizeof(tele_c_voka_dc)) return error("not a DC image");
    const auto r = read_at<tele_c_voka_dc>(image, 0);
    Json::Value v(Json::objectValue);
    v["id"] = r.id;
    v["v"] = number(r.v);
    v["i"] = number(r.i);
    Json::Value batteries(Json::arrayValue);
    for (size_t k = 0; k < std::min<size_t>(r.dc_m, tele_c_voka_dc::M_SIZE()); ++k) {
        float a;
        std::memcpy(&a, image.data() + offsetof(tele_c_voka_dc, m_values) + 4 * k, 4);
        batteries.append(number(a));
    }
    v["battery_currents"] = batteries;
    v["v_state"] = r.v_state;
    v["time"] = stamp(r.ttime);
    return v;
}

Json::Value rc(std::span<const uint8_t> image) {
    constexpr size_t kRecord = sizeof(tele_c_voka_rc), kModule = sizeof(tele_c_voka_rc_channel);
    if (image.size() < kRecord || (image.size() - kRecord) % kModule != 0) return error("not a rectifier image");
    const auto r = read_at<tele_c_voka_rc>(image, 0);
    if (image.size() != kRecord + kModule * r.channel_count) return error("module count does not match the image");
    Json::Value v(Json::objectValue);
    v["id"] = r.id;
    v["output_voltage"] = number(r.output_voltage);
    Json::Value ac_params(Json::arrayValue), dc_params(Json::arrayValue);
    for (float p : r.ac_param) ac_params.append(number(p));
    for (float p : r.dc_param) dc_params.append(number(p));
    v["ac_params"] = ac_params;
    v["dc_params"] = dc_params;
    v["time"] = stamp(r.ttime);
    Json::Value modules(Json::arrayValue);
    for (size_t i = 0; i < r.channel_count; ++i) {
        const auto m = read_at<tele_c_voka_rc_channel>(image, kRecord + i * kModule);
        Json::Value j(Json::objectValue);
        j["current"] = number(m.current);
        j["status"] = bytes(m.status, 3);
        j["fault"] = m.fault;
        modules.append(j);
    }
    v["modules"] = modules;
    return v;
}

}  // namespace

Json::Value decode_record(int record_type, std::span<const uint8_t> image) {
    switch (record_type) {
        case 5188: return ac(image);
        case 5189: return dc(image);
        case 5190: return rc(image);
        default: return error(fmt::format("unknown record type {}", record_type));
    }
}
