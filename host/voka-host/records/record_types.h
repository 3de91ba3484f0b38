#pragma once
// The record types the devices publish, each described once for the whole
// host: its number, the device type that publishes it, its size rule and its
// decoder. Every consumer (the round view, --json, `voka-host history`, and
// any exporter) reads records through decode_record().
//
// A decoded record carries its values twice over, from one pass: as readings
// (name, unit, indices, missing or not) for consumers that iterate values,
// and as the JSON object voka-host publishes. Images are copied out with
// memcpy, never read in place: a packed float is unaligned.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

enum class RecordKind : uint8_t { ac, dc, rectifier };

struct RecordType {
    RecordKind kind;
    int number;                    // the record type number the device publishes under
    std::string_view device_type;  // the device that publishes it
    std::string_view entries;      // what follows the fixed part: "channels", "modules", "" for none
    size_t fixed_bytes;            // the size rule: fixed_bytes + entry_bytes × entries
    size_t entry_bytes;

    size_t size_for(size_t entry_count) const { return fixed_bytes + entry_bytes * entry_count; }
};

extern const RecordType kAcRecord;         // 5188: AC distribution, 30 + 32 bytes per channel
extern const RecordType kDcRecord;         // 5189: DC distribution, 41 bytes
extern const RecordType kRectifierRecord;  // 5190: rectifiers, 147 + 16 bytes per module

// The described type with this number; nullptr for any other.
const RecordType* find_record_type(int number);

// One numeric value of a record. An index is -1 where it does not apply.
struct Reading {
    std::string_view name = {};  // the value's key in the JSON form
    std::string_view unit = {};  // "V", "A", "Hz"; "" for a plain number
    int channel = -1;
    int phase = -1;  // 0, 1, 2: phase A, B, C (line AB, BC, CA)
    int module = -1;
    int battery = -1;
    int position = -1;  // place in a parameter list without a physical index
    // Of a list of plain numbers with a physical index: the name of each
    // element's value once the list is spread out ("i": battery_1_i).
    std::string_view element = {};
    float value = 0;
    // The equipment sent its invalid-value marker; `value` holds the stand-in
    // the device stored for it. Only where the stand-in cannot be a real value.
    bool missing = false;
};

struct DecodedRecord {
    const RecordType* type = nullptr;  // nullptr: an unknown record type
    std::string error;                 // not a whole record of its type: why ("" when decoded)
    std::vector<Reading> readings;
    Json::Value fields;  // the published JSON form; only "error" when `error` is set
};

DecodedRecord decode_record(int record_type, std::span<const uint8_t> image);
// What a decoding makes: readings_only leaves `fields` an empty object (but
// for an error), for consumers that only reduce numbers: it is several times
// cheaper.
enum class RecordForm : uint8_t { readings_and_json, readings_only };
DecodedRecord decode_record(int record_type, std::span<const uint8_t> image, RecordForm form);
