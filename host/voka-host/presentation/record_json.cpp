#include "host/voka-host/presentation/record_json.h"

#include "host/voka-host/records/published_number.h"

Json::Value record_json(int record_type, const Json::Value& fields) {
    Json::Value v(Json::objectValue);
    v["record_type"] = record_type;
    v["fields"] = fields;
    return v;
}

Json::Value record_json(uint32_t data_id, const std::string& device_type, int record_type, const Json::Value& fields) {
    Json::Value v = record_json(record_type, fields);
    v["data_id"] = data_id;
    v["device_type"] = device_type;
    return v;
}

std::vector<std::pair<const char*, int>> reading_indices(const Reading& r) {
    std::vector<std::pair<const char*, int>> out;
    for (const auto& [key, index] : {std::pair{"channel", r.channel}, std::pair{"phase", r.phase},
                                     std::pair{"module", r.module}, std::pair{"battery", r.battery},
                                     std::pair{"position", r.position}})
        if (index >= 0) out.emplace_back(key, index);
    return out;
}

Json::Value reading_json(const Reading& r) {
    Json::Value v(Json::objectValue);
    v["name"] = std::string(r.name);
    v["unit"] = std::string(r.unit);
    v["value"] = r.missing ? Json::Value() : Json::Value(published_number(r.value));
    for (const auto& [key, index] : reading_indices(r)) v[key] = index;
    return v;
}
