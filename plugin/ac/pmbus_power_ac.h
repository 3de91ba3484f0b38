#pragma once
// The AC distribution device over a header record type, a channel entry type
// and a record type number. The equipment family's final class fixes them and
// overrides what its wire encoding changes.
#include <cstdint>
#include <cmath>
#include <cstring>
#include <iostream>
#include <span>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "plugin/ac/channel_key.h"
#include "plugin/shared/byte_reader.h"
#include "plugin/shared/config.h"
#include "plugin/shared/data_age.h"
#include "plugin/shared/entry_count.h"
#include "plugin/shared/log_texts.h"
#include "plugin/shared/parse_log.h"
#include "plugin/shared/round_end.h"
#include "plugin/shared/wire_values.h"
#include "plugin/ac/ac_rules.h"
#include "host/interface/ztx_sp_device.h"

template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public ZTXSPDevice {
public:
    static constexpr int kHeaderBytes = sizeof(TeleAC);
    static constexpr int kChannelBytes = sizeof(TeleACChannel);
    // Images up to this size (16 channels) travel inside the round's work item.
    static constexpr size_t kItemImageBytes = kHeaderBytes + 16 * kChannelBytes;

    PMBusPowerAC() { std::memset(&header_, 0, sizeof header_); }

    // Slot order is fixed by the host and then by this template; do not reorder.
    float Get_Value(unsigned id, const std::string& key) const override;
    using ZTXSPDevice::LoadFromCache;
    bool LoadFromCache(const uint8_t* data, int len) override;
    // Ends a polling round: stamps and publishes the image, reports every
    // alarm condition and hands the host the round's work item.
    void RoundDone() override;
    ~PMBusPowerAC() override = default;
    bool InitV(ZTXVDevice* parent, unsigned id, const Json::Value& config) override;

    // Answer parsers: `payload` is this device's first byte, `len` the bytes
    // left to the end of the answer's INFO. Result: bytes consumed, or -1 when
    // the answer is refused.
    virtual int parse40_41(const uint8_t* payload, int len);
    virtual int parse40_43(const uint8_t* payload, int len);
    virtual int parse40_44(const uint8_t* payload, int len);
    // Device-specific alarm rules, run at the end of each round.
    virtual void DoImpCheckAlert() = 0;

    const TeleAC& header() const { return header_; }
    const std::vector<TeleACChannel>& channels() const { return channels_; }
    // True once an accepted analog answer fixed the channel count. Until then
    // the count (from a stored image) is provisional and the next accepted
    // analog answer may change it.
    bool channel_count_fixed() const { return channel_count_.fixed(); }
    float diff_v_setting() const { return diff_v; }
    float diff_i_setting() const { return diff_i; }
    // Whether the latest round moved a voltage by diff_v or a current by
    // diff_i (or made the data valid); handed to that round's work item.
    bool last_round_changed() const { return last_round_changed_; }

protected:
    TeleAC header_;
    std::vector<TeleACChannel> channels_;
    float diff_v = 20.0f;
    float diff_i = 20.0f;
    int image_size = 0;
    std::unique_ptr<uint8_t[]> image;
    entry_count::Tracker channel_count_;
    bool quiet_ = false;  // reading an answer that challenges the fixed count: no messages
    bool last_round_changed_ = false;
    data_age::Freshness freshness_;
    // Eleven per channel entry, then the nine current rules; rebuilt when the
    // channel count changes.
    std::vector<round_end::RuleStrings> rule_strings_;

    // Reads an analog answer: its channel count M, then `body(list, header, r)`
    // reads the channels into `list` (already M entries) and the currents into
    // `header`. With the count unchanged they are the live record; with a new
    // count they are copies, taken over only when the answer is accepted
    // (entry_count.h). An accepted answer with channels fixes the count.
    template <class Body>
    int read_analog(const uint8_t* payload, int len, Body body);
    int overflow(const char* message, const ByteReader& r, int len) {
        return quiet_ ? -1 : parse_log::overflow(*this, message, r, len);
    }

private:
    float channel_value(const ChannelKey& key) const;
    // Whether a voltage moved by diff_v or a current by diff_i since the image
    // of the previous round.
    bool moved_since_image() const;
    void build_rule_strings();
    void report_rules();
};

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned, const std::string& key) const {
    freshness_.require_servable(data_valid, last_update);
    // string_view comparisons test the length first: most keys differ there.
    using namespace std::string_view_literals;
    const std::string_view k = key;
    if (k == "ia"sv) return header_.ia;
    if (k == "ib"sv) return header_.ib;
    if (k == "ic"sv) return header_.ic;
    if (k == "ia_alert"sv) return header_.ia_alert;
    if (k == "ib_alert"sv) return header_.ib_alert;
    if (k == "ic_alert"sv) return header_.ic_alert;
    const auto found = find_channel_key(k);
    if (!found) throw std::out_of_range("数据未提供");
    return channel_value(*found);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::channel_value(const ChannelKey& key) const {
    if (key.index >= channels_.size()) throw std::out_of_range("通道参数越界");
    const TeleACChannel& ch = channels_[key.index];
    switch (key.field) {
        case 'a': return ch.a;
        case 'b': return ch.b;
        case 'c': return ch.c;
        case 'f': return ch.f;
        default: throw std::out_of_range("数据未提供");
    }
}

// Accepts only a complete image: a header followed by exactly as many channel
// entries as that header states. A refused image changes nothing, so a stale
// or truncated history record can never corrupt a live record.
template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const uint8_t* data, int len) {
    if (!data || len <= kHeaderBytes) return false;
    const uint8_t stated_channels = data[offsetof(TeleAC, channel_count)];
    if (len - kHeaderBytes != kChannelBytes * stated_channels) return false;

    std::memcpy(&header_, data, sizeof header_);
    channels_.resize(stated_channels);
    std::memcpy(channels_.data(), data + kHeaderBytes, static_cast<size_t>(kChannelBytes) * stated_channels);
    channel_count_.unfix();
    data_valid = true;
    freshness_.stamp(last_update);
    return true;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(ZTXVDevice* parent, unsigned id,
                                                       const Json::Value& config) {
    header_.id = id;
    if (const Json::Value* settings = device_config::member(config, "appSetting")) {
        if (const Json::Value* v = device_config::member(*settings, "diff_v"))
            diff_v = device_config::as_atof(*v).value_or(diff_v);
        if (const Json::Value* i = device_config::member(*settings, "diff_i"))
            diff_i = device_config::as_atof(*i).value_or(diff_i);
    }
    return ZTXSPDevice::InitV(parent, id, config);
}


template <class TeleAC, class TeleACChannel, int RT_AC>
template <class Body>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::read_analog(const uint8_t* payload, int len, Body body) {
    ByteReader r(payload, len);
    const auto m = r.u8();
    if (!m) return overflow(log_text::k40_41Overflow, r, len);
    const bool fixed = channel_count_.fixed();
    if (*m == channels_.size() && (fixed || *m == header_.channel_count)) {
        header_.channel_count = *m;
        const int result = body(channels_, header_, r);
        if (result >= 0 && !channels_.empty()) channel_count_.fix();
        if (result < 0) channel_count_.break_streak();
        return result;
    }
    // A new count: read into copies; a fixed count's challenger stays silent.
    TeleAC header = header_;
    header.channel_count = *m;
    std::vector<TeleACChannel> list = channels_;
    list.resize(*m);
    quiet_ = fixed;
    const int result = body(list, header, r);
    quiet_ = false;
    if (result < 0) {
        channel_count_.break_streak();
        return -1;
    }
    if (fixed) {
        if (!channel_count_.confirm_new(*m)) return -1;
        InfoLog(log_text::k40_41CountChanged, data_id, *m, header_.channel_count);
    }
    header_ = header;
    channels_ = std::move(list);
    if (channels_.empty()) channel_count_.unfix();
    else channel_count_.fix();
    return result;
}

// Analog values, float form:
//   0  M, channel count
//   per channel: +0 a, b, c, f (4-byte floats)  +16 p  +17 p floats
//   after the channels: ia, ib, ic (4-byte floats)
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const uint8_t* payload, int len) {
    using log_text::k40_41Overflow;
    constexpr float kMissing = wire::kMissingChannelValue;
    return read_analog(payload, len, [&](std::vector<TeleACChannel>& list, TeleAC& header, ByteReader& r) {
        for (TeleACChannel& ch : list) {
            auto a = wire::read_float_le(r, kMissing);
            if (!a) return overflow(k40_41Overflow, r, len);
            ch.a = *a;
            auto b = wire::read_float_le(r, kMissing);
            if (!b) return overflow(k40_41Overflow, r, len);
            ch.b = *b;
            auto c = wire::read_float_le(r, kMissing);
            if (!c) return overflow(k40_41Overflow, r, len);
            ch.c = *c;
            auto f = wire::read_float_le(r, kMissing);
            if (!f) return overflow(k40_41Overflow, r, len);
            ch.f = *f;
            // Required: the float form traces each channel on standard output.
            if (!quiet_) std::cout << "a:" << ch.a << " b:" << ch.b << " c:" << ch.c << " f:" << ch.f << std::endl;
            const auto p = r.u8();
            if (!p) return overflow(k40_41Overflow, r, len);
            ch.p41_count = *p;
            if (*p != TeleACChannel::P40_41_SIZE()) {
                if (!quiet_) InfoLog(log_text::k40_41UserCount, data_id, *p, TeleACChannel::P40_41_SIZE());
                if (!r.skip(4u * *p)) return overflow(k40_41Overflow, r, len);
                continue;
            }
            for (size_t k = 0; k < TeleACChannel::P40_41_SIZE(); ++k) {
                auto v = wire::read_float_le(r, wire::kMissingCurrent);
                if (!v) return overflow(k40_41Overflow, r, len);
                ch.p41[k] = *v;
            }
        }
        auto ia = wire::read_float_le(r, wire::kMissingCurrent);
        if (!ia) return overflow(k40_41Overflow, r, len);
        header.ia = *ia;
        auto ib = wire::read_float_le(r, wire::kMissingCurrent);
        if (!ib) return overflow(k40_41Overflow, r, len);
        header.ib = *ib;
        auto ic = wire::read_float_le(r, wire::kMissingCurrent);
        if (!ic) return overflow(k40_41Overflow, r, len);
        header.ic = *ic;
        return static_cast<int>(r.position());
    });
}

// Switch states:
//   0  m, airlock count   1  m airlock state bytes
//   1+m  p, user-defined count   2+m  p user-defined status bytes
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const uint8_t* payload, int len) {
    using log_text::k40_43Overflow;
    ByteReader r(payload, len);
    const auto m = r.u8();
    if (!m) return overflow(k40_43Overflow, r, len);
    header_.airlock_count = *m;
    if (*m > TeleAC::AIRLOCK_MAX()) {
        InfoLog(log_text::k40_43AirlockCount, data_id, *m, TeleAC::AIRLOCK_MAX());
        return -1;
    }
    if (!r.copy_to(std::span<uint8_t>(header_.airlock, *m))) return overflow(k40_43Overflow, r, len);
    const auto p = r.u8();
    if (!p) return overflow(k40_43Overflow, r, len);
    header_.p43_count = *p;
    const int announced = 2 + *m + *p;
    if (*p != TeleAC::P40_43_SIZE()) {
        // The announced bytes are passed over unread; the master checks the
        // total against the answer's length.
        InfoLog(log_text::k40_43UserCount, data_id, *p, TeleAC::P40_43_SIZE());
        return announced;
    }
    if (!r.copy_to(std::span<uint8_t>(header_.p43, *p))) return overflow(k40_43Overflow, r, len);
    return announced;
}

// Alarm states:
//   0  channel count (not read: the record's count governs)
//   per channel: +0 alarm states of a, b, c, f  +4 m  +5 m extra items
//                +5+m p  +6+m p user-defined alarm bytes
//   after the channels: alarm states of ia, ib, ic
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const uint8_t* payload, int len) {
    using log_text::k40_44Overflow;
    ByteReader r(payload, len);
    if (!r.skip(1)) return overflow(k40_44Overflow, r, len);
    for (TeleACChannel& ch : channels_) {
        const auto states = r.take<4>();
        if (!states) return overflow(k40_44Overflow, r, len);
        ch.a_alert = (*states)[0];
        ch.b_alert = (*states)[1];
        ch.c_alert = (*states)[2];
        ch.f_alert = (*states)[3];
        const auto m = r.u8();
        if (!m) return overflow(k40_44Overflow, r, len);
        if (*m != 0) {
            InfoLog(log_text::k40_44ExtraCount, data_id, *m);
            if (!r.skip(*m)) return overflow(k40_44Overflow, r, len);
        }
        const auto p = r.u8();
        if (!p) return overflow(k40_44Overflow, r, len);
        ch.p44_count = *p;
        if (*p != TeleACChannel::p40_44_SIZE()) {
            InfoLog(log_text::k40_44UserCount, data_id, *p,
                    TeleACChannel::p40_44_SIZE());
            if (!r.skip(*p)) return overflow(k40_44Overflow, r, len);
        } else if (!r.copy_to(std::span<uint8_t>(ch.p44, *p))) {
            return overflow(k40_44Overflow, r, len);
        }
    }
    const auto currents = r.take<3>();
    if (!currents) return overflow(k40_44Overflow, r, len);
    header_.ia_alert = (*currents)[0];
    header_.ib_alert = (*currents)[1];
    header_.ic_alert = (*currents)[2];
    return static_cast<int>(r.position());
}

// ---- end of round ----

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
    const ttime_bytes stamp = round_end::stamp_round(*this, freshness_);
    std::memcpy(header_.ttime, stamp.data(), stamp.size());
    last_round_changed_ = !data_valid || moved_since_image();

    round_end::build_image(image, image_size, header_, channels_);
    data_valid = true;
    SendSP(RT_AC, image.get(), static_cast<unsigned>(image_size), false);

    alarm_seq = 1;
    report_rules();
    DoImpCheckAlert();
    round_end::hand_over_round<kItemImageBytes>(*this, image.get(), static_cast<size_t>(image_size),
                                                last_round_changed_);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::build_rule_strings() {
    using namespace ac_rules;
    rule_strings_.clear();
    rule_strings_.reserve(kChannelRules.size() * channels_.size() + kCurrentRules.size());
    for (size_t i = 0; i < channels_.size(); ++i) {
        const std::string panel = kPanelPrefix + boost::lexical_cast<std::string>(i + 1);
        for (const ChannelRule& rule : kChannelRules)
            rule_strings_.push_back({rule.grade, rule.id, rule.code, rule.name, panel + rule.label});
    }
    for (const CurrentRule& rule : kCurrentRules)
        rule_strings_.push_back({rule.grade, rule.id, rule.code, rule.name, kCurrentText});
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::report_rules() {
    using namespace ac_rules;
    if (rule_strings_.size() != kChannelRules.size() * channels_.size() + kCurrentRules.size()) build_rule_strings();
    auto strings = rule_strings_.cbegin();
    for (const TeleACChannel& ch : channels_) {
        const uint8_t states[] = {ch.a_alert, ch.b_alert, ch.c_alert, ch.f_alert};
        for (const ChannelRule& rule : kChannelRules)
            round_end::report(*this, *strings++, states[static_cast<size_t>(rule.field)] == rule.holds_when);
    }
    const uint8_t currents[] = {header_.ia_alert, header_.ib_alert, header_.ic_alert};
    for (const CurrentRule& rule : kCurrentRules)
        round_end::report(*this, *strings++, currents[static_cast<size_t>(rule.phase)] == rule.holds_when);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::moved_since_image() const {
    if (!image) return true;  // nothing to compare with
    TeleAC before;
    std::memcpy(&before, image.get(), kHeaderBytes);
    const auto moved = [](float now, float then, float step) { return std::fabs(now - then) >= step; };
    if (moved(header_.ia, before.ia, diff_i) || moved(header_.ib, before.ib, diff_i) ||
        moved(header_.ic, before.ic, diff_i))
        return true;
    const size_t stored = static_cast<size_t>(image_size - kHeaderBytes) / kChannelBytes;
    for (size_t i = 0; i < std::min(stored, channels_.size()); ++i) {
        TeleACChannel then;
        std::memcpy(&then, image.get() + kHeaderBytes + i * kChannelBytes, kChannelBytes);
        const TeleACChannel& now = channels_[i];
        if (moved(now.a, then.a, diff_v) || moved(now.b, then.b, diff_v) || moved(now.c, then.c, diff_v)) return true;
    }
    return stored != channels_.size();
}
