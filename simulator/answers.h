#pragma once
// The INFO bytes a simulated power system answers each command with, in the
// layouts the plug-in's parsers read (the commands, their sets and sizes:
// protocol/commands.h).
//
// A "voka" AC analog answer is walked from its unit-count byte, so the first
// AC unit's channel count is that byte: a site must give its first AC unit as
// many channels as it has AC units (validate_site says so).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "simulator/site_model.h"

namespace sim {

using protocol::CommandSet;

// The INFO of the answer to (cid1, cid2), or nothing for a command the power
// system does not know (the simulator then answers with an error return code).
std::optional<std::vector<uint8_t>> answer_info(const Site& site, CommandSet set, uint8_t cid1, uint8_t cid2);

// What would make the plug-in refuse this site's answers; empty when none.
std::string validate_site(const Site& site, CommandSet set);

}  // namespace sim
