#pragma once
// How long the answers of a configured power system take on the wire, so
// that an answer_timeout_ms too short for them is refused at start and a
// cut-off answer can be explained.
#include <cstdint>
#include <map>
#include <string>

#include "host/voka-host/config/power_system_config.h"

// The wire time at `baud_rate` (8N1: 10 bits a byte) of each answer of one
// round of the "voka" command set, by CID1 << 8 | CID2, for a site with the
// configured AC and DC devices and `rectifier_modules` modules (each DC unit
// counted with the most battery groups one reports).
std::map<uint16_t, int> answer_wire_ms(const PowerSystemConfig& ps, int baud_rate);

// A ConfigError text when `timeout_ms` is shorter than the longest of those
// answers; "" when it is long enough.
std::string check_answer_timeout(const PowerSystemConfig& ps, int baud_rate, int timeout_ms);
