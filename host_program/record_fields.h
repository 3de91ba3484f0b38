#pragma once
// Published record images decoded into named fields, for display and for
// JSON output. Record types: 5188 AC distribution, 5189 DC distribution,
// 5190 rectifiers. An image that is not a whole record of its type decodes
// to an object holding only "error".
#include <cstdint>
#include <span>

#include <json/value.h>

Json::Value decode_record(int record_type, std::span<const uint8_t> image);
