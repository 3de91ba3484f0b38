#pragma once
// The DC distribution device over a record type and a record type number. The
// equipment family's final class fixes both and overrides the analog parser
// where its wire encoding differs.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "plugin/shared/byte_reader.h"
#include "plugin/shared/config.h"
#include "plugin/shared/data_age.h"
#include "plugin/shared/log_texts.h"
#include "plugin/shared/parse_log.h"
#include "plugin/shared/round_end.h"
#include "plugin/shared/wire_values.h"
#include "plugin/dc/dc_record.h"
#include "host/interface/ztx_sp_device.h"

template <class TeleDC, int RT_DC>
class PMBusPowerDC : public ZTXSPDevice {
public:
    static constexpr int kRecordBytes = sizeof(TeleDC);

    PMBusPowerDC() { std::memset(&record, 0, sizeof record); }
    explicit PMBusPowerDC(const std::string& model_text) : model(model_text) {
        std::memset(&record, 0, sizeof record);
    }

    // Slot order is fixed by the host and then by this template; do not reorder.
    float Get_Value(unsigned id, const std::string& key) const override;
    using ZTXSPDevice::LoadFromCache;
    bool LoadFromCache(const uint8_t* data, int len) override;
    ~PMBusPowerDC() override = default;
    bool InitV(ZTXVDevice* parent, unsigned id, const Json::Value& config) override;
    // Ends a polling round: stamps and publishes the record, reports the
    // output-voltage and battery-fuse conditions and hands the host the
    // round's work item.
    void RoundDone() override;

    // Answer parsers: `data` is this device's first byte, `len` the bytes left
    // to the end of the answer's INFO. Result: bytes consumed, or -1 when the
    // answer is refused.
    // Analog values as 4-byte floats, for equipment that sends them so.
    virtual int parse42_41(const uint8_t* data, int len);
    // Alarm states.
    virtual int parse42_44(const uint8_t* data, int len);
    // Device-specific alarm rules, run at the end of each round.
    virtual void DoImpCheckAlert() = 0;

    const TeleDC& current_record() const { return record; }
    float diff_v_setting() const { return diff_v; }
    float diff_i_setting() const { return diff_i; }
    const std::string& model_text() const { return model; }
    // Whether the latest round moved v by diff_v or i by diff_i (or made the
    // data valid); handed to that round's work item.
    bool last_round_changed() const { return last_round_changed_; }

protected:
    // The analog layout both wire forms share: v, i, the battery-group run,
    // the branch run and the user-defined run. `value_bytes` is the width of
    // one value on the wire; `read_value` decodes the measured values and
    // `read_user_value` the user-defined ones (each returns nothing when the
    // value's bytes are not all there).
    template <class ReadValue, class ReadUserValue>
    int parse_analog(const uint8_t* data, int len, size_t value_bytes, ReadValue read_value,
                     ReadUserValue read_user_value);

    TeleDC record;
    float last_v = 0.0f;
    float last_i = 0.0f;
    float diff_v = 0.1f;
    float diff_i = 20.0f;
    std::string model;
    bool last_round_changed_ = false;
    data_age::Freshness freshness_;
    // DC_0, DC_1, then one DC_3 per fuse; built at the first round.
    std::vector<round_end::RuleStrings> rule_strings_;
};

template <class TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned, const std::string& key) const {
    freshness_.require_servable(data_valid, last_update);
    if (key == "v") return record.v;
    if (key == "i") return record.i;
    throw std::out_of_range("数据未就绪");
}

// Only a whole record is taken; anything else is refused without touching the
// live record, so a truncated or foreign history entry cannot corrupt it.
template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const uint8_t* data, int len) {
    if (!data || len != kRecordBytes) return false;
    std::memcpy(&record, data, sizeof record);
    data_valid = true;
    freshness_.stamp(last_update);
    return true;
}

template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(ZTXVDevice* parent, unsigned id, const Json::Value& config) {
    record.id = id;
    // A threshold left null keeps its default; one of the wrong shape too.
    const auto read_threshold = [](const Json::Value& settings, const char* key, float& into) {
        const Json::Value* value = device_config::member(settings, key);
        if (value && !value->isNull()) into = device_config::as_atof(*value).value_or(into);
    };
    if (const Json::Value* settings = device_config::member(config, "appSetting")) {
        read_threshold(*settings, "diff_v", diff_v);
        read_threshold(*settings, "diff_i", diff_i);
    }
    return ZTXSPDevice::InitV(parent, id, config);
}

template <class TeleDC, int RT_DC>
template <class ReadValue, class ReadUserValue>
int PMBusPowerDC<TeleDC, RT_DC>::parse_analog(const uint8_t* data, int len, size_t value_bytes,
                                              ReadValue read_value, ReadUserValue read_user_value) {
    ByteReader r(data, len);
    const auto overflow = [&] { return parse_log::overflow(*this, log_text::k42_41Overflow, r, len); };

    const auto v = read_value(r);
    if (!v) return overflow();
    record.v = *v;
    const auto i = read_value(r);
    if (!i) return overflow();
    record.i = *i;

    const auto dc_m = r.u8();
    if (!dc_m) return overflow();
    record.dc_m = *dc_m;
    if (*dc_m > TeleDC::M_SIZE()) {
        InfoLog(log_text::kDcM, data_id, *dc_m,
                TeleDC::M_SIZE());
        if (!r.skip(value_bytes * *dc_m)) return overflow();
    } else if constexpr (TeleDC::M_SIZE() > 0) {
        for (unsigned k = 0; k < *dc_m; ++k) {
            const auto value = read_value(r);
            if (!value) return overflow();
            record.m_values[k] = *value;
        }
    }

    const auto dc_n = r.u8();
    if (!dc_n) return overflow();
    record.dc_n = *dc_n;
    if (*dc_n > TeleDC::N_SIZE()) {
        InfoLog(log_text::kDcN, data_id, *dc_n,
                TeleDC::N_SIZE());
        if (!r.skip(value_bytes * *dc_n)) return overflow();
    } else if constexpr (TeleDC::N_SIZE() > 0) {
        for (unsigned k = 0; k < *dc_n; ++k) {
            const auto value = read_value(r);
            if (!value) return overflow();
            record.n_values[k] = *value;
        }
    }

    const auto p_count = r.u8();
    if (!p_count) return overflow();
    record.p_count = *p_count;
    if (*p_count > TeleDC::P_SIZE()) {
        InfoLog(log_text::kDcUserCount,
                data_id, *p_count, TeleDC::P_SIZE());
        // The master relies on this: the rest of the INFO counts as consumed,
        // unread, so its cursor lands exactly on the end.
        return len;
    }
    if constexpr (TeleDC::P_SIZE() > 0) {
        for (unsigned k = 0; k < *p_count; ++k) {
            const auto value = read_user_value(r);
            if (!value) return overflow();
            record.p_values[k] = *value;
        }
    }
    return static_cast<int>(r.position());
}

template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const uint8_t* data, int len) {
    // Required: the float form traces the answer's first bytes on standard
    // output (when there are that many).
    ByteReader head(data, len);
    if (const auto first = head.take<4>())
        std::printf("parse 42 41: %x %x %x %x\n", (*first)[0], (*first)[1], (*first)[2], (*first)[3]);

    // Measured values are taken as sent; a user-defined value of four equal
    // non-zero bytes is the equipment's "missing" mark.
    const auto as_sent = [](ByteReader& r) { return r.f32_le(); };
    const auto user_value = [](ByteReader& r) { return wire::read_float_le(r, wire::kMissingCurrent); };
    return parse_analog(data, len, 4, as_sent, user_value);
}

template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const uint8_t* data, int len) {
    ByteReader r(data, len);
    const auto overflow = [&] { return parse_log::overflow(*this, log_text::k42_44Overflow, r, len); };
    // Keeps the first `capacity` of `count` state bytes in `states` and passes
    // over the rest.
    const auto read_states = [&r](auto& states, unsigned count, unsigned capacity) {
        const unsigned kept = count < capacity ? count : capacity;
        if constexpr (sizeof states > 0) {
            if (!r.copy_to(std::span<uint8_t>(states, kept))) return false;
        }
        return r.skip(count - kept);
    };

    const auto v_state = r.u8();
    if (!v_state) return overflow();
    record.v_state = *v_state;

    const auto alert_m_count = r.u8();
    if (!alert_m_count) return overflow();
    record.alert_m_count = *alert_m_count;
    if (!read_states(record.alert_m_states, *alert_m_count, TeleDC::ALERT_M_SIZE())) return overflow();

    const auto alert_p_count = r.u8();
    if (!alert_p_count) return overflow();
    record.alert_p_count = *alert_p_count;
    if (*alert_p_count > TeleDC::ALERT_P_SIZE())
        InfoLog(log_text::kDcAlertP, data_id,
                *alert_p_count, TeleDC::ALERT_P_SIZE());
    if (!read_states(record.alert_p_states, *alert_p_count, TeleDC::ALERT_P_SIZE())) return overflow();

    return static_cast<int>(r.position());
}

// ---- end of round ----

namespace dc_rules {
inline constexpr const char* kFuseName = "电池熔丝故障告警";
inline constexpr const char* kFusePrefix = "直流";
}  // namespace dc_rules

template <class TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
    const ttime_bytes stamp = round_end::stamp_round(*this, freshness_);
    std::memcpy(record.ttime, stamp.data(), stamp.size());
    last_round_changed_ = !data_valid || std::fabs(record.v - last_v) >= diff_v ||
                          std::fabs(record.i - last_i) >= diff_i;
    data_valid = true;
    last_v = record.v;
    last_i = record.i;

    // The record is its own image.
    const auto* image = reinterpret_cast<const uint8_t*>(&record);
    SendSP(RT_DC, image, kRecordBytes, false);

    if (rule_strings_.empty()) {
        rule_strings_.push_back({3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警"});
        rule_strings_.push_back({3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警"});
        for (unsigned k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k)
            rule_strings_.push_back({1, "DC_3", "06001", dc_rules::kFuseName,
                                     dc_rules::kFusePrefix + boost::lexical_cast<std::string>(k) + dc_rules::kFuseName});
    }
    alarm_seq = 1;
    const uint8_t v_state = record.v_state;
    round_end::report(*this, rule_strings_[0], v_state == 1);
    round_end::report(*this, rule_strings_[1], v_state == 2);
    // Fuse states are judged only when the equipment reported the count this
    // record type holds.
    if constexpr (TeleDC::ALERT_M_SIZE() > 0) {
        if (record.alert_m_count == TeleDC::ALERT_M_SIZE()) {
            for (unsigned k = 0; k < TeleDC::ALERT_M_SIZE(); ++k)
                round_end::report(*this, rule_strings_[2 + k], record.alert_m_states[k] == 3);
        }
    }
    DoImpCheckAlert();
    round_end::hand_over_round<kRecordBytes>(*this, image, kRecordBytes, last_round_changed_);
}
