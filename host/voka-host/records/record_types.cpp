#include "host/voka-host/records/record_types.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "plugin/ac/ac_record.h"
#include "plugin/shared/wire_values.h"
#include "plugin/dc/dc_record.h"
#include "host/voka-host/records/published_number.h"
#include "plugin/rc/rc_record.h"

const RecordType kAcRecord{RecordKind::ac, 5188, "voka-ac", "channels", sizeof(tele_c_voka_ac),
                           sizeof(tele_c_voka_ac_channel)};
const RecordType kDcRecord{RecordKind::dc, 5189, "voka-dc", "", sizeof(tele_c_voka_dc), 0};
const RecordType kRectifierRecord{RecordKind::rectifier, 5190, "voka-rc", "modules", sizeof(tele_c_voka_rc),
                                  sizeof(tele_c_voka_rc_channel)};

const RecordType* find_record_type(int number) {
    for (const RecordType* t : {&kAcRecord, &kDcRecord, &kRectifierRecord})
        if (t->number == number) return t;
    return nullptr;
}

namespace {

template <class T>
T read_at(std::span<const uint8_t> image, size_t offset) {
    T value;
    std::memcpy(&value, image.data() + offset, sizeof value);
    return value;
}

// A float of a packed record, copied out of the image by its offset.
float float_at(std::span<const uint8_t> image, size_t offset) { return read_at<float>(image, offset); }

Json::Value number(float v) { return Json::Value(published_number(v)); }

std::string stamp(const uint8_t* t) {
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t[0] | t[1] << 8, t[2], t[3], t[4], t[5], t[6]);
}

Json::Value bytes(const uint8_t* b, size_t n) {
    Json::Value a(Json::arrayValue);
    for (size_t i = 0; i < n; ++i) a.append(b[i]);
    return a;
}

// What a device stores for a missing phase current; as an unsigned quantity
// on the wire it can never be a measured value.
bool is_missing_current(float v) { return std::bit_cast<uint32_t>(v) == std::bit_cast<uint32_t>(wire::kMissingCurrent); }

// Fills a decoded record: each reading goes into the list and into its JSON slot.
// Without `json`, only the readings: the JSON form is most of a decoding's cost.
struct Decoding {
    DecodedRecord& out;
    bool json = true;

    void put(Json::Value& object, const Reading& r) {
        if (json) object[std::string(r.name)] = number(r.value);
        out.readings.push_back(r);
    }
    void append(Json::Value& array, const Reading& r) {
        if (json) array.append(number(r.value));
        out.readings.push_back(r);
    }
};

void fail(DecodedRecord& d, std::string what) {
    d.readings.clear();
    d.fields = Json::Value(Json::objectValue);
    d.fields["error"] = what;
    d.error = std::move(what);
}

// A float field of a packed record: its reading's name, unit and phase, and its offset.
struct FloatField {
    std::string_view name, unit;
    int phase;
    size_t offset;
};
constexpr FloatField kPhaseCurrents[] = {{"ia", "A", 0, offsetof(tele_c_voka_ac, ia)},
                                         {"ib", "A", 1, offsetof(tele_c_voka_ac, ib)},
                                         {"ic", "A", 2, offsetof(tele_c_voka_ac, ic)}};
constexpr FloatField kChannelValues[] = {{"a", "V", 0, offsetof(tele_c_voka_ac_channel, a)},
                                         {"b", "V", 1, offsetof(tele_c_voka_ac_channel, b)},
                                         {"c", "V", 2, offsetof(tele_c_voka_ac_channel, c)},
                                         {"f", "Hz", -1, offsetof(tele_c_voka_ac_channel, f)}};

void ac(std::span<const uint8_t> image, DecodedRecord& d, bool json) {
    constexpr size_t kHeader = sizeof(tele_c_voka_ac), kChannel = sizeof(tele_c_voka_ac_channel);
    if (image.size() < kHeader || (image.size() - kHeader) % kChannel != 0) return fail(d, "not an AC image");
    const auto h = read_at<tele_c_voka_ac>(image, 0);
    if (image.size() != kAcRecord.size_for(h.channel_count))
        return fail(d, "channel count does not match the image");
    Decoding out{d, json};
    Json::Value& v = d.fields;
    if (json) v["id"] = h.id;
    for (const FloatField& f : kPhaseCurrents) {
        const float value = float_at(image, f.offset);
        out.put(v, {.name = f.name, .unit = f.unit, .phase = f.phase, .value = value,
                    .missing = is_missing_current(value)});
    }
    if (json) {
        v["ia_alert"] = h.ia_alert;
        v["ib_alert"] = h.ib_alert;
        v["ic_alert"] = h.ic_alert;
        v["airlock"] = bytes(h.airlock, std::min<size_t>(h.airlock_count, tele_c_voka_ac::AIRLOCK_MAX()));
        v["time"] = stamp(h.ttime);
    }
    Json::Value channels(Json::arrayValue);
    for (int i = 0; i < h.channel_count; ++i) {
        const size_t at = kHeader + static_cast<size_t>(i) * kChannel;
        Json::Value c(Json::objectValue);
        for (const FloatField& f : kChannelValues)
            out.put(c, {.name = f.name, .unit = f.unit, .channel = i, .phase = f.phase,
                        .value = float_at(image, at + f.offset)});
        if (!json) continue;
        c["alerts"] = bytes(image.data() + at + offsetof(tele_c_voka_ac_channel, a_alert), 4);
        channels.append(c);
    }
    if (json) v["channels"] = channels;
}

void dc(std::span<const uint8_t> image, DecodedRecord& d, bool json) {
    if (image.size() != kDcRecord.size_for(0)) return fail(d, "not a DC image");
    const auto r = read_at<tele_c_voka_dc>(image, 0);
    Decoding out{d, json};
    Json::Value& v = d.fields;
    if (json) v["id"] = r.id;
    out.put(v, {.name = "v", .unit = "V", .value = float_at(image, offsetof(tele_c_voka_dc, v))});
    out.put(v, {.name = "i", .unit = "A", .value = float_at(image, offsetof(tele_c_voka_dc, i))});
    Json::Value batteries(Json::arrayValue);
    for (int k = 0; k < std::min<int>(r.dc_m, tele_c_voka_dc::M_SIZE()); ++k)
        out.append(batteries, {.name = "battery_currents", .unit = "A", .battery = k, .element = "i",
                               .value = float_at(image, offsetof(tele_c_voka_dc, m_values) + 4 * k)});
    if (!json) return;
    v["battery_currents"] = batteries;
    v["v_state"] = r.v_state;
    v["time"] = stamp(r.ttime);
}

void rc(std::span<const uint8_t> image, DecodedRecord& d, bool json) {
    constexpr size_t kRecord = sizeof(tele_c_voka_rc), kModule = sizeof(tele_c_voka_rc_channel);
    if (image.size() < kRecord || (image.size() - kRecord) % kModule != 0) return fail(d, "not a rectifier image");
    const auto r = read_at<tele_c_voka_rc>(image, 0);
    if (image.size() != kRectifierRecord.size_for(r.channel_count))
        return fail(d, "module count does not match the image");
    Decoding out{d, json};
    Json::Value& v = d.fields;
    if (json) v["id"] = r.id;
    out.put(v, {.name = "output_voltage", .unit = "V",
                .value = float_at(image, offsetof(tele_c_voka_rc, output_voltage))});
    Json::Value ac_params(Json::arrayValue), dc_params(Json::arrayValue);
    for (int k = 0; k < 5; ++k)
        out.append(ac_params, {.name = "ac_params", .position = k,
                               .value = float_at(image, offsetof(tele_c_voka_rc, ac_param) + 4 * k)});
    for (int k = 0; k < 2; ++k)
        out.append(dc_params, {.name = "dc_params", .position = k,
                               .value = float_at(image, offsetof(tele_c_voka_rc, dc_param) + 4 * k)});
    if (json) {
        v["ac_params"] = ac_params;
        v["dc_params"] = dc_params;
        v["time"] = stamp(r.ttime);
    }
    Json::Value modules(Json::arrayValue);
    for (int i = 0; i < r.channel_count; ++i) {
        const size_t at = kRecord + static_cast<size_t>(i) * kModule;
        const auto m = read_at<tele_c_voka_rc_channel>(image, at);
        Json::Value j(Json::objectValue);
        out.put(j, {.name = "current", .unit = "A", .module = i,
                    .value = float_at(image, at + offsetof(tele_c_voka_rc_channel, current))});
        if (!json) continue;
        j["status"] = bytes(m.status, 3);
        j["fault"] = m.fault;
        modules.append(j);
    }
    if (json) v["modules"] = modules;
}

}  // namespace

DecodedRecord decode_record(int record_type, std::span<const uint8_t> image) {
    return decode_record(record_type, image, RecordForm::readings_and_json);
}

DecodedRecord decode_record(int record_type, std::span<const uint8_t> image, RecordForm form) {
    const bool json = form == RecordForm::readings_and_json;
    DecodedRecord d;
    d.type = find_record_type(record_type);
    d.fields = Json::Value(Json::objectValue);
    if (!d.type) {
        fail(d, fmt::format("unknown record type {}", record_type));
        return d;
    }
    switch (d.type->kind) {
        case RecordKind::ac: ac(image, d, json); break;
        case RecordKind::dc: dc(image, d, json); break;
        case RecordKind::rectifier: rc(image, d, json); break;
    }
    return d;
}
