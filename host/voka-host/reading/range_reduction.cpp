#include "host/voka-host/reading/range_reduction.h"

#include <algorithm>
#include <stdexcept>

#include "host/voka-host/records/published_number.h"
#include "host/voka-host/reading/reading_columns.h"
#include "host/voka-host/presentation/time_text.h"

namespace {

Json::Value published(double v) { return Json::Value(published_number(v)); }

}  // namespace

RangeReduction::RangeReduction(int64_t since, int64_t until, size_t points, std::set<std::string> wanted)
    : since_(since), until_(until), wanted_(std::move(wanted)) {
    if (points == 0) throw std::invalid_argument("a reduction needs at least one point");
    if (until < since) throw std::invalid_argument("a reduction's range ends before it starts");
    const auto span = static_cast<uint64_t>(until - since) + 1;
    bucket_s_ = static_cast<int64_t>((span + points - 1) / points);
    rows_.assign(static_cast<size_t>((span + static_cast<uint64_t>(bucket_s_) - 1) / static_cast<uint64_t>(bucket_s_)),
                 0);
}

const std::vector<int>& RangeReduction::layout(const DecodedRecord& record) {
    const uint64_t key = static_cast<uint64_t>(record.type->number) << 32 | record.readings.size();
    auto [it, added] = layouts_.try_emplace(key);
    if (!added) return it->second;
    std::vector<int>& places = it->second;
    for (const Reading& r : record.readings) {
        std::string name = column_name(r);
        if (!wanted_.empty() && !wanted_.contains(name) && !wanted_.contains(std::string(r.name))) {
            places.push_back(-1);
            continue;
        }
        auto [where, is_new] = series_index_.try_emplace(name, static_cast<int>(series_.size()));
        if (is_new) series_.push_back({std::move(name), std::string(r.unit), std::vector<Stats>(rows_.size())});
        places.push_back(where->second);
    }
    return places;
}

void RangeReduction::add(int64_t time, const DecodedRecord& record) {
    if (time < since_ || time > until_ || !record.type || !record.error.empty()) return;
    const auto bucket = static_cast<size_t>((time - since_) / bucket_s_);
    ++rows_[bucket];
    const std::vector<int>& places = layout(record);
    for (size_t i = 0; i < places.size(); ++i) {
        const Reading& r = record.readings[i];
        if (places[i] < 0 || r.missing) continue;
        Stats& s = series_[static_cast<size_t>(places[i])].buckets[bucket];
        const double v = r.value;
        if (s.count == 0) {
            s.min = s.max = v;
        } else {
            s.min = std::min(s.min, v);
            s.max = std::max(s.max, v);
        }
        s.sum += v;
        ++s.count;
    }
}

Json::Value RangeReduction::json() const {
    Json::Value v(Json::objectValue);
    v["since"] = utc_iso_time(since_);
    v["until"] = utc_iso_time(until_);
    v["bucket_s"] = static_cast<Json::Int64>(bucket_s_);
    Json::Value& times = v["times"] = Json::Value(Json::arrayValue);
    for (size_t b = 0; b < rows_.size(); ++b)
        if (rows_[b]) times.append(utc_iso_time(since_ + static_cast<int64_t>(b) * bucket_s_));
    Json::Value& all = v["series"] = Json::Value(Json::arrayValue);
    for (const Series& s : series_) {
        Json::Value one(Json::objectValue);
        one["name"] = s.name;
        one["unit"] = s.unit;
        Json::Value &min = one["min"] = Json::Value(Json::arrayValue), &max = one["max"] = Json::Value(Json::arrayValue),
                    &mean = one["mean"] = Json::Value(Json::arrayValue);
        for (size_t b = 0; b < rows_.size(); ++b) {
            if (!rows_[b]) continue;
            const Stats& st = s.buckets[b];
            min.append(st.count ? published(st.min) : Json::Value());
            max.append(st.count ? published(st.max) : Json::Value());
            mean.append(st.count ? published(st.mean()) : Json::Value());
        }
        all.append(std::move(one));
    }
    return v;
}
