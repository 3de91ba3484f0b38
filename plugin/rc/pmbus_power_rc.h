#pragma once
// The rectifier device over a record type, a module entry type and a record
// type number. The base forms read the generic wire encoding (4-byte floats,
// low byte first); the equipment family's final class fixes the arguments and
// overrides the parsers its own encoding changes.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "plugin/shared/byte_reader.h"
#include "plugin/shared/data_age.h"
#include "plugin/shared/entry_count.h"
#include "plugin/shared/log_texts.h"
#include "plugin/shared/parse_log.h"
#include "plugin/shared/round_end.h"
#include "plugin/shared/wire_values.h"
#include "host/interface/ztx_sp_device.h"

template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public ZTXSPDevice {
public:
    static constexpr int kRecordBytes = sizeof(TeleRC);
    static constexpr int kChannelBytes = sizeof(TeleRCChannel);
    static constexpr size_t kCountOffset = offsetof(TeleRC, channel_count);
    static constexpr int kRecordType = RT_RC;
    // Images up to this size (128 modules) travel inside the round's work item.
    static constexpr size_t kItemImageBytes = kRecordBytes + 128 * kChannelBytes;

    PMBusPowerRC() { std::memset(&record_, 0, sizeof record_); }

    // Slot order is fixed by the host and then by this template; do not reorder.
    float Get_Value(unsigned id, const std::string& key) const override;
    using ZTXSPDevice::LoadFromCache;
    bool LoadFromCache(const uint8_t* data, int len) override;
    ~PMBusPowerRC() override = default;
    bool InitV(ZTXVDevice* parent, unsigned id, const Json::Value& config) override;
    // Ends a polling round: stamps and publishes the image, reports each
    // module's fault condition and hands the host the round's work item.
    void RoundDone() override;

    // Answer parsers: `payload` is the answer's INFO, `len` its byte count.
    // Result: bytes consumed, or -1 when the answer is refused. Byte 0 of the
    // three rectifier answers is the DATAFLAG, which belongs to the master.
    virtual int parse41_41(const uint8_t* payload, int len);
    virtual int parse41_43(const uint8_t* payload, int len);
    virtual int parse41_44(const uint8_t* payload, int len);
    virtual int parse40_46(const uint8_t* payload, int len);
    virtual int parse42_46(const uint8_t* payload, int len);
    // Device-specific alarm rules, run at the end of each round; none here.
    virtual void DoImpCheckAlert() {}

    const TeleRC& record() const { return record_; }
    const std::vector<TeleRCChannel>& modules() const { return channels_; }
    // True once an accepted live analog answer fixed the module count; a count
    // from a stored image is only provisional.
    bool channel_count_fixed() const { return module_count_.fixed(); }

protected:
    // How the user-defined parameter block of a DC parameter answer is taken:
    // all of it or the answer is refused, or as much of it as is present.
    enum class UserBlock { whole, as_present };

    // The analog answer: DATAFLAG, output voltage, module count, then per module
    // its current, a user-defined count and that many values, each W bytes wide.
    // `plain` decodes a value, `user` a user-defined value (with its marker rule).
    template <size_t W, class Plain, class User>
    int parse_analog(const uint8_t* payload, int len, Plain plain, User user);
    // Five W-byte AC parameters and a user-defined count; the user-defined
    // values are passed over unread, so the result may exceed `len`.
    template <size_t W, class Decode>
    int parse_ac_params(const uint8_t* payload, int len, Decode decode);
    // Two W-byte DC parameters, the user-defined count and its block.
    template <size_t W, class Decode>
    int parse_dc_params(const uint8_t* payload, int len, Decode decode, UserBlock rule);

    TeleRC record_;
    std::vector<TeleRCChannel> channels_;
    int image_size = 0;
    std::unique_ptr<uint8_t[]> image;
    entry_count::Tracker module_count_;
    data_age::Freshness freshness_;
    // One per module entry; rebuilt when the module count changes.
    std::vector<round_end::RuleStrings> rule_strings_;

private:
    static float as_float(std::array<uint8_t, 4> raw) { return std::bit_cast<float>(raw); }
    static float as_user_float(std::array<uint8_t, 4> raw) {
        return wire::is_user_value_marker(raw) ? wire::kMissingUserValue : std::bit_cast<float>(raw);
    }
};

template <class TeleRC, class TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned, const std::string&) const {
    freshness_.require_servable(data_valid, last_update);
    // The rectifier data reach the host only as the published image.
    throw std::out_of_range("数据未就绪");
}

// Accepts only a complete image: a record followed by exactly as many module
// entries as that record states. A refused image changes nothing.
template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const uint8_t* data, int len) {
    // Required: the reload traces the lengths it compares on standard output.
    std::printf("rc data_len:%d vs %d\n", len, kRecordBytes);
    if (len < kRecordBytes) return false;
    ByteReader r(data, len);
    TeleRC stored;
    if (!r.copy_to({reinterpret_cast<uint8_t*>(&stored), sizeof stored})) return false;
    const uint8_t count = stored.channel_count;
    std::printf("rc channelLen %d and %u left:%d\n", kChannelBytes, static_cast<unsigned>(count),
                len - kRecordBytes);
    if (len - kRecordBytes != kChannelBytes * count) return false;

    std::vector<TeleRCChannel> entries(count);
    r.copy_to({reinterpret_cast<uint8_t*>(entries.data()), entries.size() * sizeof(TeleRCChannel)});
    record_ = stored;
    channels_ = std::move(entries);
    module_count_.unfix();  // the equipment may have changed while we were down
    data_valid = true;
    freshness_.stamp(last_update);
    return true;
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(ZTXVDevice* parent, unsigned id,
                                                       const Json::Value& config) {
    record_.id = id;
    // The host treats a failed device as refused; it must never see an exception here.
    try {
        return ZTXSPDevice::InitV(parent, id, config);
    } catch (...) {
        return false;
    }
}

// The module count M takes effect only with an answer that is accepted: with
// M unchanged the modules are read in place; with a new M into a copy of the
// list, taken over when the answer is accepted (entry_count.h). The output
// voltage is stored before any check.
template <class TeleRC, class TeleRCChannel, int RT_RC>
template <size_t W, class Plain, class User>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse_analog(const uint8_t* payload, int len, Plain plain,
                                                             User user) {
    static constexpr uint8_t kUserValues = TeleRCChannel::P41_41_SIZE();
    ByteReader r(payload, len);
    bool quiet = false;  // reading an answer that challenges the fixed count: no messages
    const auto overflow = [&](const char* fmt) { return quiet ? -1 : parse_log::overflow(*this, fmt, r, len); };
    const char* const outside = log_text::k41_41Overflow;
    const char* const in_module = log_text::k41_41ModuleOverflow;

    if (!r.skip(1)) return overflow(outside);
    const auto voltage = r.template take<W>();
    if (!voltage) return overflow(outside);
    record_.output_voltage = plain(*voltage);
    const auto m = r.u8();
    if (!m) return overflow(outside);

    const auto read_modules = [&](std::vector<TeleRCChannel>& list) {
        for (TeleRCChannel& ch : list) {
            const auto current = r.template take<W>();
            if (!current) return overflow(in_module);
            ch.current = plain(*current);
            const auto p = r.u8();
            if (!p) return overflow(in_module);
            ch.p41_count = *p;
            if (*p != kUserValues) {
                if (!quiet) InfoLog(log_text::k41_41UserCount, data_id, *p, kUserValues);
                if (!r.skip(W * *p)) return overflow(in_module);
                continue;
            }
            for (size_t k = 0; k < kUserValues; ++k) {
                const auto v = r.template take<W>();
                if (!v) return overflow(in_module);
                ch.p41[k] = user(*v);
            }
        }
        return static_cast<int>(r.position());
    };

    const bool fixed = module_count_.fixed();
    if (*m == record_.channel_count && *m == channels_.size()) {
        const int result = read_modules(channels_);
        // An answer with no modules leaves the count open for the next one.
        if (result >= 0 && !channels_.empty()) module_count_.fix();
        if (result < 0) module_count_.break_streak();
        return result;
    }
    std::vector<TeleRCChannel> list = channels_;
    list.resize(*m);
    quiet = fixed;
    const int result = read_modules(list);
    if (result < 0) {
        module_count_.break_streak();
        return -1;
    }
    if (fixed) {
        if (!module_count_.confirm_new(*m)) return -1;
        const uint8_t was = record_.channel_count;
        InfoLog(log_text::k41_41CountChanged, data_id, *m, was);
    }
    record_.channel_count = *m;
    channels_ = std::move(list);
    if (channels_.empty()) module_count_.unfix();
    else module_count_.fix();
    return result;
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const uint8_t* payload, int len) {
    return parse_analog<4>(payload, len, as_float, as_user_float);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const uint8_t* payload, int len) {
    static constexpr uint8_t kUserStates = TeleRCChannel::P41_43_SIZE();
    ByteReader r(payload, len);
    const auto overflow = [&] { return parse_log::overflow(*this, log_text::k41_43Overflow, r, len); };
    if (!r.skip(1)) return overflow();
    const auto m = r.u8();
    if (!m) return overflow();
    if (*m > record_.channel_count) return -1;

    for (size_t i = 0; i < *m; ++i) {
        TeleRCChannel& ch = channels_[i];
        if (!r.copy_to(std::span<uint8_t>(ch.status))) return overflow();
        const auto p = r.u8();
        if (!p) return overflow();
        ch.p43_count = *p;
        if (*p != kUserStates) {
            InfoLog(log_text::k41_43UserCount, data_id,
                    *p, kUserStates);
            if (!r.skip(*p)) return overflow();
        } else if (!r.copy_to(std::span<uint8_t>(ch.p43, kUserStates))) {
            return overflow();
        }
    }
    return static_cast<int>(r.position());
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const uint8_t* payload, int len) {
    static constexpr uint8_t kUserAlarms = TeleRCChannel::P41_44_SIZE();
    ByteReader r(payload, len);
    const auto overflow = [&] { return parse_log::overflow(*this, log_text::k41_44Overflow, r, len); };
    if (!r.skip(1)) return overflow();
    const auto m = r.u8();
    if (!m) return overflow();
    if (*m > record_.channel_count) {
        const uint8_t count = record_.channel_count;
        InfoLog(log_text::k41_44ModuleCount,
                data_id, *m, count);
        return 0;
    }

    for (size_t i = 0; i < *m; ++i) {
        TeleRCChannel& ch = channels_[i];
        const auto fault = r.u8();
        if (!fault) return overflow();
        ch.fault = *fault;
        const auto p = r.u8();
        if (!p) return overflow();
        ch.p44_count = *p;
        if (*p != kUserAlarms)
            InfoLog(log_text::k41_44UserCount, data_id,
                    *p, kUserAlarms);
        // The user-defined alarm bytes carry nothing the device keeps.
        if (!r.skip(*p)) return overflow();
    }
    return static_cast<int>(r.position());
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
template <size_t W, class Decode>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse_ac_params(const uint8_t* payload, int len, Decode decode) {
    static constexpr size_t kHead = 5 * W + 1;
    ByteReader r(payload, len);
    const auto head = r.template take<kHead>();
    if (!head) {
        return parse_log::overflow(*this, log_text::k40_46Overflow, r, len);
    }
    for (size_t i = 0; i < 5; ++i) {
        std::array<uint8_t, W> raw;
        std::copy_n(head->begin() + i * W, W, raw.begin());
        record_.ac_param[i] = decode(raw);
    }
    const uint8_t p = (*head)[5 * W];
    // The master steps over the user-defined values by this count.
    return static_cast<int>(kHead + W * p);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const uint8_t* payload, int len) {
    return parse_ac_params<4>(payload, len, as_float);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
template <size_t W, class Decode>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse_dc_params(const uint8_t* payload, int len, Decode decode,
                                                                UserBlock rule) {
    static constexpr size_t kHead = 2 * W + 1;
    static constexpr uint8_t kNumber = TeleRC::P42_46_NUMBER();
    static constexpr size_t kBlock = TeleRC::P42_46_SIZE();
    ByteReader r(payload, len);
    const auto overflow = [&] { return parse_log::overflow(*this, log_text::k42_46Overflow, r, len); };
    const auto head = r.template take<kHead>();
    if (!head) return overflow();
    for (size_t i = 0; i < 2; ++i) {
        std::array<uint8_t, W> raw;
        std::copy_n(head->begin() + i * W, W, raw.begin());
        record_.dc_param[i] = decode(raw);
    }
    const uint8_t p = (*head)[2 * W];
    record_.p46_count = p;
    if (p != kNumber) {
        InfoLog(log_text::k42_46UserCount, data_id, p, kNumber);
        // The master steps over the user-defined values by this count.
        return static_cast<int>(kHead + W * p);
    }
    const size_t block = rule == UserBlock::whole ? kBlock : std::min(kBlock, r.remaining());
    if (!r.copy_to(std::span<uint8_t>(record_.p46, block))) return overflow();
    return static_cast<int>(r.position());
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const uint8_t* payload, int len) {
    return parse_dc_params<4>(payload, len, as_float, UserBlock::as_present);
}

// ---- end of round ----

template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
    data_valid = true;
    const ttime_bytes stamp = round_end::stamp_round(*this, freshness_);
    std::memcpy(record_.ttime, stamp.data(), stamp.size());
    round_end::build_image(image, image_size, record_, channels_);
    SendSP(RT_RC, image.get(), static_cast<unsigned>(image_size), false);

    alarm_seq = 1;
    if (rule_strings_.size() != channels_.size()) {
        rule_strings_.resize(std::min(rule_strings_.size(), channels_.size()));
        for (size_t i = rule_strings_.size(); i < channels_.size(); ++i)
            rule_strings_.push_back({2, "RC_0", "06024", "整流模块故障告警",
                                     "模块" + boost::lexical_cast<std::string>(i + 1) + "整流模块故障告警"});
    }
    for (size_t i = 0; i < channels_.size(); ++i)
        round_end::report(*this, rule_strings_[i], channels_[i].fault == 1);
    DoImpCheckAlert();
    // No change rule for rectifiers: every round counts as news.
    round_end::hand_over_round<kItemImageBytes>(*this, image.get(), static_cast<size_t>(image_size), true);
}
