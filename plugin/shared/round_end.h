#pragma once
// What every child device does at the end of a polling round besides its own
// rules: stamp the round, and hand the host one work item that judges the
// round's rules and stores the round's image.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plugin/shared/data_age.h"
#include "plugin/shared/log_texts.h"
#include "host/interface/ztx_vdevice.h"

namespace round_end {

// Renews last_update (with its monotonic stamp) and returns the record time
// stamp of the round, made from the same reading of the local clock.
inline ttime_bytes stamp_round(ZTXVDevice& device, data_age::Freshness& freshness) {
    return get_ttime(freshness.stamp(device.last_update).time);
}

// The strings of one alarm condition: built when the device's entry count
// changes, handed to the host by reference every round.
struct RuleStrings {
    int grade;
    std::string id;
    std::string code;
    std::string name;
    std::string text;
};

// Reports one condition with the round's next sequence number.
inline void report(ZTXVDevice& device, const RuleStrings& rule, bool holds) {
    device.CheckThresholdBool(rule.grade, rule.id, rule.code, rule.name, rule.text, holds, device.alarm_seq++);
}

// Writes the record followed by its entries into `image`, re-sizing it when
// their size changed since it was allocated, so that the image always covers
// the record and every entry.
template <class Record, class Entry>
void build_image(std::unique_ptr<uint8_t[]>& image, int& image_size, const Record& record,
                 const std::vector<Entry>& entries) {
    const size_t size = sizeof(Record) + sizeof(Entry) * entries.size();
    if (!image || static_cast<size_t>(image_size) != size) {
        image = std::make_unique<uint8_t[]>(size);
        image_size = static_cast<int>(size);
    }
    std::memcpy(image.get(), &record, sizeof(Record));
    if (!entries.empty()) std::memcpy(image.get() + sizeof(Record), entries.data(), sizeof(Entry) * entries.size());
}

// A round's work item: the rules of the round and its own copy of the image,
// so that later rounds, reloads and parsing never change what a waiting item
// judges or stores. The item owns its round's rules outright: it may run and
// be destroyed on any host thread while the device goes on polling, and no
// storage passes back to the device. Images up to InlineBytes live inside the
// item itself, so handing it over costs the host's one allocation for the
// item; larger ones get a buffer. The item keeps the device alive until it is
// gone.
template <size_t InlineBytes>
class RoundItem {
public:
    using Rules = std::vector<rule_value>;

    RoundItem(std::shared_ptr<ZTXVDevice> self, Rules round_rules, bool round_changed, const uint8_t* image,
              size_t size)
        : keep_alive_(std::move(self)), device_(keep_alive_.get()), rules_(std::move(round_rules)),
          changed_(round_changed), size_(size) {
        if (size_ > InlineBytes) spill_.assign(image, image + size);
        else if (size_ > 0) std::memcpy(inline_.data(), image, size_);
    }
    // Copies and moves carry only the bytes in use.
    RoundItem(const RoundItem& o)
        : keep_alive_(o.keep_alive_), device_(o.device_), rules_(o.rules_), changed_(o.changed_), size_(o.size_),
          spill_(o.spill_) {
        copy_inline(o);
    }
    RoundItem(RoundItem&& o) noexcept
        : keep_alive_(std::move(o.keep_alive_)), device_(o.device_), rules_(std::move(o.rules_)),
          changed_(o.changed_), size_(o.size_), spill_(std::move(o.spill_)) {
        copy_inline(o);
    }
    RoundItem& operator=(const RoundItem&) = delete;

    // alarm_active belongs to the thread that runs work items: only items
    // write it, and only on its one change from false to true. The plug-in
    // never reads it elsewhere; a host reads it on that thread (or under the
    // lock it runs items under) and runs one device's items one at a time.
    void operator()() const {
        if (device_->DoBatchCheckThreshold(rules_) && !device_->alarm_active) device_->alarm_active = true;
        device_->SaveDeviceHistory(size_ > InlineBytes ? spill_.data() : inline_.data(), static_cast<unsigned>(size_));
    }
    // Whether the round moved any value by its configured step; the item does
    // not use it (history is stored every round).
    bool changed() const { return changed_; }

private:
    void copy_inline(const RoundItem& o) {
        if (size_ <= InlineBytes && size_ > 0) std::memcpy(inline_.data(), o.inline_.data(), size_);
    }

    std::shared_ptr<ZTXVDevice> keep_alive_;  // the device lives until the item is gone
    ZTXVDevice* device_;
    Rules rules_;
    bool changed_;
    size_t size_;
    std::vector<uint8_t> spill_;
    std::array<uint8_t, InlineBytes> inline_;  // only the first size_ bytes are set
};

// Moves the device's `rules` into the round's work item with a copy of
// `image` and hands it to the host; `rules` is left empty with room for as
// many rules as the round had (one allocation per round).
template <size_t InlineBytes>
void hand_over_round(ZTXVDevice& device, const uint8_t* image, size_t size, bool changed) {
    auto self = device.weak_from_this().lock();
    if (!self) {
        // Not held by a std::shared_ptr: nothing could keep it alive for a
        // later run, so no item is handed over.
        device.InfoLog(log_text::kNotShared, device.data_id);
        device.rules.clear();
        return;
    }
    std::vector<rule_value> round_rules;
    round_rules.swap(device.rules);
    device.rules.reserve(round_rules.size());
    device.CheckThresholdWork(RoundItem<InlineBytes>(std::move(self), std::move(round_rules), changed, image, size));
}

}  // namespace round_end
