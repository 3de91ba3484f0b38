#pragma once
// The AC distribution device over a header record type, a channel entry type
// and a record type number. The equipment family's final class fixes them and
// overrides what its wire encoding changes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ac/channel_key.h"
#include "common/config.h"
#include "common/data_age.h"
#include "host/ztx_sp_device.h"

template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public ZTXSPDevice {
public:
    static constexpr int kHeaderBytes = sizeof(TeleAC);
    static constexpr int kChannelBytes = sizeof(TeleACChannel);

    PMBusPowerAC() { std::memset(&header_, 0, sizeof header_); }

    // Slot order is fixed by the host and then by this template; do not reorder.
    float Get_Value(unsigned id, const std::string& key) const override;
    using ZTXSPDevice::LoadFromCache;
    bool LoadFromCache(const uint8_t* data, int len) override;
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
    // True once an accepted stored image, not an answer, fixed the channel count.
    bool channel_count_from_image() const { return channel_count_from_image_; }
    float diff_v_setting() const { return diff_v; }
    float diff_i_setting() const { return diff_i; }

protected:
    TeleAC header_;
    std::vector<TeleACChannel> channels_;
    float diff_v = 20.0f;
    float diff_i = 20.0f;
    int image_size = 0;
    std::unique_ptr<uint8_t[]> image;
    bool channel_count_from_image_ = false;

private:
    float channel_value(const ChannelKey& key) const;
};

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned, const std::string& key) const {
    data_age::require_servable(data_valid, last_update);
    if (key == "ia") return header_.ia;
    if (key == "ib") return header_.ib;
    if (key == "ic") return header_.ic;
    if (key == "ia_alert") return header_.ia_alert;
    if (key == "ib_alert") return header_.ib_alert;
    if (key == "ic_alert") return header_.ic_alert;
    const auto found = find_channel_key(key);
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
    channel_count_from_image_ = true;
    data_valid = true;
    last_update = boost::posix_time::second_clock::local_time();
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

// Answer parsing arrives with the parsers; until then every answer is refused.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const uint8_t*, int) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 not parsed", data_id);
    return -1;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const uint8_t*, int) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 40_43 not parsed", data_id);
    return -1;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const uint8_t*, int) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 not parsed", data_id);
    return -1;
}
