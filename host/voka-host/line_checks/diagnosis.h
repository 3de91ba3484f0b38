#pragma once
// What a user reads when a power system cannot complete its rounds: the
// command, the reason in the user's terms, and what to check.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "host/line/line_exchange.h"

struct LineSetting {
    uint8_t address = 1;
    int baud_rate = 9600;
    int timeout_ms = 1000;
    size_t ac_devices = 0;
    size_t dc_devices = 0;
    const std::map<uint16_t, int>* answer_ms = nullptr;  // wire time by CID1 << 8 | CID2, if known
};

// A failed attempt of a command.
std::string diagnose(const FailedAttempt& f, const LineSetting& line);
// An answer to (cid1, cid2) that the master refused or dropped; `answer` is
// the decoded answer as it came.
std::string diagnose_refusal(uint8_t cid1, uint8_t cid2, std::span<const uint8_t> answer, const LineSetting& line);
