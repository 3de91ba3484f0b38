#pragma once
// Which Prometheus family a record's reading is published under: the record
// kind and the reading's name give the family's stem, the reading's unit its
// base-unit suffix ("V" → _volts, "A" → _amperes, "Hz" → _hertz).
#include <string>
#include <string_view>

#include "host/voka-host/records/record_types.h"

struct ReadingFamily {
    std::string name;  // "voka_dc_voltage_volts"
    std::string help;
};

ReadingFamily reading_family(RecordKind kind, const Reading& reading);
