#pragma once
// What every child device does at the end of a polling round besides its own
// rules: stamp the round, and hand the host one work item that judges the
// round's rules and stores the round's image.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/data_age.h"
#include "common/log_texts.h"
#include "host/ztx_vdevice.h"

namespace round_end {

// Renews last_update (with its monotonic stamp) and returns the record time
// stamp of the round, made from the same reading of the local clock.
inline ttime_bytes stamp_round(ZTXVDevice& device, data_age::Freshness& freshness) {
    return get_ttime(freshness.stamp(device.last_update).time);
}

// A device's rule storage across rounds. A round's work item takes the
// device's `rules` with it and, once done, brings the vector back here with
// its rules still in it. The next round lets those go one at a time, each just
// before the host builds a new rule (release_one), so that the allocator
// hands the same blocks straight back; the emptied vector then carries that
// round's rules to its item. The item runs on the host's worker while the
// polling thread goes on, so the hand-back is one atomic exchange; the
// plug-in takes no locks. Everything but give_back runs on the polling side.
class RulesStore {
public:
    using Rules = std::vector<rule_value>;

    RulesStore() = default;
    RulesStore(const RulesStore&) = delete;
    RulesStore& operator=(const RulesStore&) = delete;
    ~RulesStore() { delete returned_.exchange(nullptr, std::memory_order_acquire); }

    // Lets one rule of an earlier round go, if any is left.
    void release_one() {
        if (!spent_) spent_.reset(returned_.exchange(nullptr, std::memory_order_acquire));
        if (spent_ && !spent_->empty()) spent_->pop_back();
    }
    // An empty vector for a round's rules: the one brought back, or a new one
    // when none came back yet (the first round, or while the previous round's
    // item still waits).
    std::unique_ptr<Rules> take() {
        if (!spent_) spent_.reset(returned_.exchange(nullptr, std::memory_order_acquire));
        std::unique_ptr<Rules> rules = spent_ ? std::move(spent_) : std::make_unique<Rules>();
        rules->clear();
        return rules;
    }
    // Takes back an item's vector; of two waiting, the later stays.
    void give_back(std::unique_ptr<Rules> rules) {
        delete returned_.exchange(rules.release(), std::memory_order_acq_rel);
    }

private:
    std::atomic<Rules*> returned_{nullptr};
    std::unique_ptr<Rules> spent_;  // taken back, being let go
};

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
inline void report(ZTXVDevice& device, RulesStore& store, const RuleStrings& rule, bool holds) {
    store.release_one();
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
// stores. Images up to InlineBytes live inside the item itself, so handing it
// over costs the host's one allocation for the item; larger ones get a buffer.
// The rules go back to the device's store when the item is destroyed; the
// item keeps the device, and so the store, alive until then.
template <size_t InlineBytes>
class RoundItem {
public:
    RoundItem(std::shared_ptr<ZTXVDevice> self, RulesStore& store, std::unique_ptr<RulesStore::Rules> round_rules,
              bool round_changed, const uint8_t* image, size_t size)
        : keep_alive_(std::move(self)), device_(keep_alive_.get()), store_(&store), rules_(std::move(round_rules)),
          changed_(round_changed), size_(size) {
        if (size_ > InlineBytes) spill_.assign(image, image + size);
        else if (size_ > 0) std::memcpy(inline_.data(), image, size_);
    }
    // Copies and moves carry only the bytes in use; a copy has rules of its own.
    RoundItem(const RoundItem& o)
        : keep_alive_(o.keep_alive_), device_(o.device_), store_(o.store_),
          rules_(std::make_unique<RulesStore::Rules>(*o.rules_)), changed_(o.changed_), size_(o.size_),
          spill_(o.spill_) {
        copy_inline(o);
    }
    RoundItem(RoundItem&& o) noexcept
        : keep_alive_(std::move(o.keep_alive_)), device_(o.device_), store_(o.store_), rules_(std::move(o.rules_)),
          changed_(o.changed_), size_(o.size_), spill_(std::move(o.spill_)) {
        copy_inline(o);
    }
    RoundItem& operator=(const RoundItem&) = delete;
    ~RoundItem() {
        if (rules_) store_->give_back(std::move(rules_));
    }

    // alarm_active belongs to the thread that runs work items: only items
    // write it, and only on its one change from false to true. The plug-in
    // never reads it elsewhere; a host reads it on that thread (or under the
    // lock it runs items under) and runs one device's items one at a time.
    void operator()() const {
        if (device_->DoBatchCheckThreshold(*rules_) && !device_->alarm_active) device_->alarm_active = true;
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
    RulesStore* store_;                         // the device's
    std::unique_ptr<RulesStore::Rules> rules_;  // null once moved from
    bool changed_;
    size_t size_;
    std::vector<uint8_t> spill_;
    std::array<uint8_t, InlineBytes> inline_;  // only the first size_ bytes are set
};

// Moves `rules` into the round's work item with a copy of `image` and hands
// it to the host; `rules` is left empty, on storage an earlier item brought
// back to `store` where there is one, else with the capacity it had.
template <size_t InlineBytes>
void hand_over_round(ZTXVDevice& device, RulesStore& store, const uint8_t* image, size_t size, bool changed) {
    auto self = device.weak_from_this().lock();
    if (!self) {
        // Not held by a std::shared_ptr: nothing could keep it alive for a
        // later run, so no item is handed over.
        device.InfoLog(log_text::kNotShared, device.data_id);
        device.rules.clear();
        return;
    }
    const size_t capacity = device.rules.size();
    std::unique_ptr<RulesStore::Rules> round_rules = store.take();
    round_rules->swap(device.rules);
    if (device.rules.capacity() < capacity) device.rules.reserve(capacity);
    device.CheckThresholdWork(
        RoundItem<InlineBytes>(std::move(self), store, std::move(round_rules), changed, image, size));
}

}  // namespace round_end
