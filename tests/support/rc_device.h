#pragma once
// Rectifier devices wired to a recording controller, the log texts they must
// write, and small builders for answers and stored images.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/core/log_format.h"
#include "plugin/rc/voka_rc.h"
#include "tests/support/bytes.h"
#include "tests/support/recording_controller.h"

// The base forms with the VOKA sizes, and a record type with other sizes so
// that every user-defined part is more than one wide.
using RcBase = PMBusPowerRC<tele_c_voka_rc, tele_c_voka_rc_channel, kVokaRcRecordType>;
using OtherRecord = tele_c_pmbuspower_rc<3, 8>;
using OtherChannel = tele_c_pmbuspower_rc_channel<2, 2, 1>;
using OtherRC = PMBusPowerRC<OtherRecord, OtherChannel, 4242>;

inline constexpr uint32_t kRcTestId = 7;

// The device's log texts by number; index 0 is unused.
inline const char* const kRcMessage[] = {
    "",
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
    "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}",
    "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}",
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
    "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}",
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ",
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
    "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}",
    "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}",
    "RQX24B:ProcotolError parse42_46 {} p:{} != {}",
    "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}",
};

template <class Device>
struct RcRig {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Device> dev = std::make_shared<Device>();
    RcRig() {
        dev->controller = controller;
        dev->data_id = kRcTestId;
    }

    // Parses from a heap copy of exactly `len` bytes, so a read past it is caught.
    template <class Parse>
    int parse(Parse op, const std::vector<uint8_t>& payload, int len = -2) {
        if (len == -2) len = static_cast<int>(payload.size());
        const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
        auto copy = std::make_unique<uint8_t[]>(n);
        std::memcpy(copy.get(), payload.data(), std::min(n, payload.size()));
        return ((*dev).*op)(copy.get(), len);
    }

    // Message numbers in the order logged (0 for a text that is none of them).
    std::vector<int> messages() const {
        std::vector<int> out;
        for (const auto& e : controller->logs()) {
            int n = 0;
            for (int i = 1; i <= 11; ++i)
                if (e.format == kRcMessage[i]) n = i;
            out.push_back(n);
        }
        return out;
    }
    std::vector<std::string> texts() const { return controller->log_texts(); }
    std::string last_text() const {
        const auto t = texts();
        return t.empty() ? std::string() : t.back();
    }

    // Everything the device keeps, as bytes, to prove what an operation left alone.
    std::vector<uint8_t> state() const {
        const auto* r = reinterpret_cast<const uint8_t*>(&dev->record());
        std::vector<uint8_t> s(r, r + sizeof dev->record());
        for (const auto& ch : dev->modules()) {
            const auto* b = reinterpret_cast<const uint8_t*>(&ch);
            s.insert(s.end(), b, b + sizeof ch);
        }
        s.push_back(dev->channel_count_fixed());
        s.push_back(dev->data_valid);
        const int64_t stamp = dev->last_update.is_special()
                                  ? -1
                                  : (dev->last_update - boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1)))
                                        .total_seconds();
        const auto* sb = reinterpret_cast<const uint8_t*>(&stamp);
        s.insert(s.end(), sb, sb + sizeof stamp);
        return s;
    }
};

// A stored image: the record with `count` in its count field, then `entries`
// (whatever their number), each module's current set to 1, 2, ...
template <class Record, class Channel>
std::vector<uint8_t> rc_image(uint32_t id, uint8_t count, size_t entries) {
    Record rec{};
    rec.id = id;
    rec.output_voltage = 48.5f;
    rec.channel_count = count;
    // Sized once and filled in place: GCC 12 at -O3 takes a growing insert of
    // a record's bytes for an overrun (-Warray-bounds).
    std::vector<uint8_t> image(sizeof rec + entries * sizeof(Channel));
    std::memcpy(image.data(), &rec, sizeof rec);
    for (size_t i = 0; i < entries; ++i) {
        Channel ch{};
        ch.current = static_cast<float>(i + 1);
        ch.fault = 1;
        std::memcpy(image.data() + sizeof rec + i * sizeof ch, &ch, sizeof ch);
    }
    return image;
}

inline std::vector<uint8_t> voka_image(uint32_t id, uint8_t count, size_t entries) {
    return rc_image<tele_c_voka_rc, tele_c_voka_rc_channel>(id, count, entries);
}

inline std::string rc_text(int message, size_t needed, int len) {
    return format_log_message(kRcMessage[message], {std::to_string(kRcTestId), std::to_string(needed),
                                                    std::to_string(len)});
}

// Cuts a valid payload at every length below its own. Each cut must be refused
// (-1) and log `expected(cut, needed)` message numbers, the last one an
// overflow naming `needed`, the end of the field the cut fell into (from
// `field_ends`), and the cut length. `setup` prepares each fresh device.
template <class Device, class Parse, class Setup, class Expected>
void expect_every_cut_refused(Parse op, const std::vector<uint8_t>& payload, const std::vector<size_t>& field_ends,
                              Setup setup, Expected expected) {
    ASSERT_EQ(field_ends.back(), payload.size());
    {
        RcRig<Device> whole;
        setup(whole);
        ASSERT_EQ(whole.parse(op, payload), static_cast<int>(payload.size()));
    }
    for (size_t cut = 0; cut < payload.size(); ++cut) {
        RcRig<Device> rig;
        setup(rig);
        const size_t before = rig.controller->logs().size();
        EXPECT_EQ(rig.parse(op, payload, static_cast<int>(cut)), -1) << "cut at " << cut;
        const size_t needed = *std::upper_bound(field_ends.begin(), field_ends.end(), cut);
        auto got = rig.messages();
        got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(before));
        const std::vector<int> want = expected(cut, needed);
        EXPECT_EQ(got, want) << "cut at " << cut;
        if (!want.empty() && got == want) {
            EXPECT_EQ(rig.last_text(), rc_text(want.back(), needed, static_cast<int>(cut))) << "cut at " << cut;
        }
    }
}
