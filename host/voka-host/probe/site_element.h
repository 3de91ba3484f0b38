#pragma once
// What voka-host probe prints of a power system it found: a line of what the
// equipment reports, and a power-system element of the site configuration,
// ready to paste into "power_systems".
#include <string>

#include "host/voka-host/probe/line_probe.h"

namespace probe {

// "address 7, 19200 baud: 3 rectifier modules, 1 AC unit, 1 DC unit, model \"...\""
std::string describe(const Finding& f);

// The element, as indented JSON: name, master data id, port, baud rate and
// address; one "acSetting" element per AC device the "voka" master expects
// (the AC analog answer's unit-count byte, which it also reads as the first
// unit's channel count), one "dcSetting" element per DC unit, "rcSetting".
// Data ids: 1 for the master and rectifiers, AC devices from 11, DC devices
// from the next ten after them.
std::string site_element(const Finding& f, const std::string& port);

}  // namespace probe
