#pragma once
// What every child device does at the end of a polling round besides its own
// rules: stamp the round, and hand the host one work item that judges the
// round's rules and stores the round's image.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/log_texts.h"
#include "host/ztx_vdevice.h"

namespace round_end {

// Renews last_update and returns the record time stamp of the round, read
// from the local clock a second time as the host stamps records.
inline ttime_bytes stamp_round(ZTXVDevice& device) {
    device.last_update = boost::posix_time::second_clock::local_time();
    return get_ttime(boost::posix_time::second_clock::local_time());
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

// Moves `rules` into a work item together with this round's own copy of the
// image, so that later rounds, reloads and parsing never change what a
// waiting item stores; `rules` keeps its capacity for the next round. The
// item keeps the device alive until it has run. `changed` tells whether the
// round moved any value by its configured step (the item does not use it:
// history is stored every round).
inline void hand_over_round(ZTXVDevice& device, std::vector<uint8_t> image, bool changed) {
    const size_t capacity = device.rules.size();
    auto self = device.weak_from_this().lock();
    if (!self) {
        // Not held by a std::shared_ptr: nothing could keep it alive for a
        // later run, so no item is handed over.
        device.InfoLog(log_text::kNotShared, device.data_id);
        device.rules.clear();
        return;
    }
    struct WorkItem {
        std::shared_ptr<ZTXVDevice> keep_alive;
        ZTXVDevice* device;
        std::vector<rule_value> rules;
        bool changed;
        std::vector<uint8_t> image;
        // alarm_active belongs to the thread that runs work items: only items
        // write it, and only on its one change from false to true. The plug-in
        // never reads it elsewhere; a host reads it on that thread (or under
        // the lock it runs items under) and runs one device's items one at a time.
        void operator()() const {
            if (device->DoBatchCheckThreshold(rules) && !device->alarm_active) device->alarm_active = true;
            device->SaveDeviceHistory(image.data(), static_cast<unsigned>(image.size()));
        }
    };
    ZTXVDevice* raw = self.get();
    device.CheckThresholdWork(WorkItem{std::move(self), raw, std::move(device.rules), changed, std::move(image)});
    device.rules = {};
    device.rules.reserve(capacity);
}

// Reports one condition with the round's next sequence number.
inline void report(ZTXVDevice& device, int grade, const char* rule_id, const char* code, const char* name,
                   const std::string& text, bool holds) {
    device.CheckThresholdBool(grade, rule_id, code, name, text, holds, device.alarm_seq++);
}

}  // namespace round_end
